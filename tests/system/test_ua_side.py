"""The user-agent link of the real agent: lists pushed on each connection, bad input dropped. (Slaves registering,
moving, leaving and surviving restarts, with their notifications: test_model.py; trunks towards a master failing and
recovering: tests/interop/test_client.py and tests/unit/slave_role_test.cpp.)"""
import contextlib
import socket

from agentharness import CONNECTED, DISCONNECTED, UserAgent, pack, store_edit


def test_each_connection_pushes_master_lists_first_then_the_slave_list_and_bad_input_is_dropped(agent, tools, dirs):
    store_edit(tools, dirs, "roles", "master", "on")
    store_edit(tools, dirs, "roles", "slave", "on")
    store_edit(tools, dirs, "trunk", "add", "trunk1", "alice", password="secret")
    store_edit(tools, dirs, "trunk", "add", "trunk2", "carol", "--symmetric-nat", password="secret3")
    store_edit(tools, dirs, "master", "add", "uplink", "bob", "192.0.2.1", "5060", "--enable", password="secret2")
    agent.start()
    for connection in (1, 2):
        ua = UserAgent(dirs)
        first, second = ua.set_users_list(), ua.set_users_list()
        assert (first["active"], first["master"], second["active"], second["master"]) == (True, True, True, False)
        assert [(a["user"], a["password"], a["addr"], a["flags"]) for a in first["accounts"]] == [
            ("alice", "secret", "", "0"), ("carol", "secret3", "", "0")]
        assert [(a["user"], a["addr"], a["port"]) for a in second["accounts"]] == [("bob", "192.0.2.1", "5060")]
        ua.sock.shutdown(socket.SHUT_RDWR)  # vanishes: reported once, the next connection loads again
        ua.close()
        agent.wait_trace(DISCONNECTED, connection)
    # Bad input (no final NUL, a bad number, far over the limit; every kind: the link codec's fuzz target): dropped.
    ua = UserAgent(dirs)
    for raw in (b"HELLO\x001", pack("CONFIRM_USER_STATE", "1", "-1", "1", *([""] * 11)), b"\0" * 70000):
        with contextlib.suppress(OSError):
            ua.sock.send(raw)
    ua.confirm(True, 0, True, user="alice", password="secret", addr="192.0.2.10", port="5060")
    agent.wait_trace_containing("alice@192.0.2.10:5060  # rez: Register")
    assert (agent.trace_lines().count(CONNECTED), agent.trace_lines().count(DISCONNECTED)) == (3, 2)
    ua.close()
    agent.stop_cleanly()
