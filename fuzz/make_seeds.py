#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Run it again after changing a seed below; the files are kept in the
repository so that `make fuzz` needs no Python. Each seed is a small file:
valid messages of every kind and the edge forms (empty, no final NUL, wrong
counts, numbers out of range, huge claimed counts).
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def items(*parts):
    """The wire form: every part followed by its NUL."""
    out = b""
    for part in parts:
        out += (part.encode() if isinstance(part, str) else part) + b"\0"
    return out


def call_params(user="alice", password="pw1", address="192.0.2.10", port="5060", host="slave1", flags="0"):
    return [user, "", host, password, address, port, "", "", "", "", flags]


# --- fuzz_update_dispatch: one control byte, then the datagram --------------
MASTER, SLAVE, UA, REG_FAILS, FRESH, STORE_ITEMS, STORE_ACTIVE, STORE_EMPTY = (1 << i for i in range(8))
ALL_ON = MASTER | SLAVE | UA | FRESH


def update(control, *fields):
    return bytes([control]) + items(*fields)


UPDATE = {
    "empty_list": bytes([ALL_ON]),
    "activate_master": update(UA | FRESH, "0"),
    "activate_master_extra_items": update(UA, "0", "x", "y"),
    "deactivate_master": update(ALL_ON, "1"),
    "activate_slave": update(UA | FRESH, "2"),
    "deactivate_slave": update(ALL_ON, "3"),
    "add_trunk": update(ALL_ON, "4", "t9", "frank", "secret", "1"),
    "add_trunk_flag_true": update(ALL_ON, "4", "t9", "frank", "secret", "true"),
    "add_trunk_master_off": update(UA | FRESH, "4", "t9", "frank", "secret", "1"),
    "add_trunk_short": update(ALL_ON, "4", "t9", "frank"),
    "add_trunk_blank_type": update(ALL_ON, " 4x", "t9", "frank", "secret", "1"),
    "edit_trunk_rename": update(ALL_ON, "5", "t1", "t7"),
    "edit_trunk_full": update(ALL_ON, "5", "t1", "t7", "alice2", "pw9", "0"),
    "edit_trunk_four_items": update(ALL_ON, "5", "t1", "t7", "alice2"),
    "edit_trunk_five_items": update(ALL_ON, "5", "t1", "t7", "alice2", "pw9"),
    "delete_trunks": update(ALL_ON, "6", "t1", "t2"),
    "delete_trunks_none": update(ALL_ON, "6"),
    "trunk_state_active": update(ALL_ON, "7", "m1", "m1"),
    "trunk_state_inactive": update(ALL_ON, "7", "m2", "m2"),
    "trunk_state_store_items": update(ALL_ON | STORE_ITEMS | STORE_ACTIVE, "7", "192.0.2.12", "192.0.2.12"),
    "trunk_state_short": update(ALL_ON, "7", "m1"),
    "edit_trunk_to_master": update(ALL_ON, "8", "m1", "m4", "1"),
    "edit_trunk_to_master_rename": update(ALL_ON, "8", "m1", "m4", "0"),
    "edit_trunk_to_master_store_items": update(ALL_ON | STORE_ITEMS, "8", "m1", "192.0.2.13", "1"),
    "delete_trunks_to_master": update(ALL_ON, "9", "m1", "m3"),
    "delete_trunks_to_master_none": update(ALL_ON, "9"),
    "type_letters": update(ALL_ON, "abc"),
    "type_minus_one": update(ALL_ON, "-1"),
    "type_eleven": update(ALL_ON, "11"),
    "type_above_int32": update(ALL_ON, "4294967306"),
    "type_below_int32": update(ALL_ON, "-2147483659"),
    "type_empty_item": update(ALL_ON, ""),
    "regulator_fails": update(ALL_ON | REG_FAILS, "6", "t1"),
    "store_empty": update(UA | FRESH | STORE_EMPTY, "0"),
    "no_final_nul": bytes([ALL_ON]) + b"4\0t9\0frank\0secret\0" + b"1",
    "many_deletes": update(ALL_ON, "6", *["t%d" % (i % 5) for i in range(3000)]),
}

# --- fuzz_ua_packet ---------------------------------------------------------
UA_PACKET = {
    "hello": items("HELLO", "1"),
    "hello_leading_zeros": items("HELLO", "0000000001"),
    "hello_max": items("HELLO", "4294967295"),
    "hello_too_big": items("HELLO", "4294967296"),
    "hello_no_version": items("HELLO"),
    "request_users_list": items("REQUEST_USERS_LIST"),
    "confirm_master": items("CONFIRM_USER_STATE", "1", "0", "1", *call_params()),
    "confirm_slave_error": items("CONFIRM_USER_STATE", "0", "12", "0", *call_params(flags="256")),
    "confirm_bad_bool": items("CONFIRM_USER_STATE", "true", "0", "1", *call_params()),
    "confirm_short": items("CONFIRM_USER_STATE", "1", "0", "1", *call_params()[:10]),
    "set_users_list_empty": items("SET_USERS_LIST", "1", "1", "0"),
    "set_users_list_two": items("SET_USERS_LIST", "0", "0", "2", *call_params(), *call_params("bob", "pw2")),
    "set_users_list_huge_count": items("SET_USERS_LIST", "1", "0", "4294967295", *call_params()),
    "set_users_list_count_mismatch": items("SET_USERS_LIST", "1", "0", "2", *call_params()),
    "set_users_list_many": items("SET_USERS_LIST", "1", "1", "400",
                                 *[f for i in range(400) for f in call_params("u%d" % i, "p%d" % i)]),
    "change_user_params": items("CHANGE_USER_PARAMS", "1", *([""] * 10 + ["0"]), *call_params()),
    "change_user_params_bad_flags": items("CHANGE_USER_PARAMS", "0", *call_params(), *call_params(flags="-1")),
    "unknown_name": items("GOODBYE", "1"),
    "empty": b"",
    "only_nul": b"\0",
    "no_final_nul": b"HELLO\x001",
}

# --- fuzz_datagram ----------------------------------------------------------
DATAGRAM = {
    "empty": b"",
    "one_empty_item": b"\0",
    "event_notice": items("SIPTunnelMaster", "Registration", "Successfully registered user alice"),
    "event_notice_two_items": items("SIPTunnelSlave", "Registration failure"),
    "event_notice_four_items": items("a", "b", "c", "d"),
    "no_final_nul": b"a\0b",
    "numbers": items("0", "1", "4294967295", "4294967296", "0000000001", "00000000001", "-1", " 1", "12a"),
    "many_nuls": b"\0" * 4096,
    "binary_items": b"\xff\xfe\x01\0\x7f\x80\0",
}

# --- fuzz_route_answer: one rtnetlink datagram (host byte order) ------------
SEQ, PORT, MULTI = 1, 0x1234, 2


def nlmsg(kind, body, seq=SEQ, port=PORT, flags=0):
    pad = b"\0" * (-len(body) % 4)
    return struct.pack("=IHHII", 16 + len(body), kind, flags, seq, port) + body + pad


def rtattr(kind, value):
    return struct.pack("=HH", 4 + len(value), kind) + value + b"\0" * (-len(value) % 4)


ADDR = bytes([192, 0, 2, 1])
ROUTE = struct.pack("=BBBBBBBBI", 2, 32, 0, 0, 254, 2, 0, 1, 0)  # AF_INET, /32, main, unicast
ROUTE_ANSWER = nlmsg(24, ROUTE + rtattr(7, ADDR) + rtattr(4, struct.pack("=I", 2)))
ADDRS = nlmsg(20, struct.pack("=BBBBI", 2, 24, 0, 0, 2) + rtattr(2, ADDR) + rtattr(1, ADDR), flags=MULTI)
ROUTE_ANSWERS = {
    "route": ROUTE_ANSWER,
    "route_no_prefsrc": nlmsg(24, ROUTE + rtattr(4, struct.pack("=I", 2))),
    "route_short_attribute": nlmsg(24, ROUTE + struct.pack("=HH", 40, 7) + ADDR),
    "stale_then_route": nlmsg(24, ROUTE, seq=7) + ROUTE_ANSWER,
    "error_unreachable": nlmsg(2, struct.pack("=i", -101) + nlmsg(26, b"")[:16]),
    "error_short": nlmsg(2, b"\0\0"),
    "error_positive": nlmsg(2, struct.pack("=i", 5) + nlmsg(26, b"")[:16]),
    "address_dump": ADDRS + ADDRS + nlmsg(3, struct.pack("=i", 0), flags=MULTI),
    "length_past_end": struct.pack("=IHHII", 4096, 24, 0, SEQ, PORT) + ROUTE,
    "empty": b"",
}


def write(target, seeds):
    directory = os.path.join(HERE, "corpus", target)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for name, data in sorted(seeds.items()):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("fuzz_update_dispatch", UPDATE)
    write("fuzz_ua_packet", UA_PACKET)
    write("fuzz_datagram", DATAGRAM)
    write("fuzz_route_answer", ROUTE_ANSWERS)
