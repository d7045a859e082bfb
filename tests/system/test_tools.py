"""siptrunkctl, the real binary, against real SQLite stores and real Unix sockets. Where the agent would stand, the
test binds its sockets itself, so every message the tool sends is checked byte for byte."""
import json
import os
import socket
import subprocess

import pytest

from agentharness import unpack

INJECTION = "x'); DROP TABLE x;--"


class Ctl:
    def __init__(self, tools, dirs):
        self.path, self.dirs = tools.path("siptrunkctl"), dirs

    def __call__(self, *args, password=None, stdin=b"", env=None, ok=None):
        """A password goes in on standard input; with `ok`, the exit status must be one of those."""
        if password is not None:
            end = args.index("--") if "--" in args else len(args)
            args = args[:end] + ("--password-stdin",) + args[end:]
            stdin = (password if isinstance(password, bytes) else password.encode()) + b"\n"
        result = subprocess.run([self.path, *args], env=env or self.dirs.env(), capture_output=True, input=stdin,
                                timeout=30)
        assert ok is None or result.returncode in ok, (args, result.returncode, result.stderr)
        return result

    def status(self):
        return json.loads(self("status", "--json", "--show-passwords", ok=(0, 3)).stdout)


@pytest.fixture
def ctl(tools, dirs):
    return Ctl(tools, dirs)


@pytest.fixture
def settings_side(dirs):  # the agent's settings socket, bound by the test
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(dirs.cgi_sock)
    sock.settimeout(10)
    yield sock
    sock.close()


MADD, MEDIT = ["master", "add", "m", "u"], ["master", "edit", "m", "n", "u"]


# One row a validation branch; the store is never made.
@pytest.mark.parametrize("args,message", [
    (["frobnicate"], "unknown command"), (["trunk", "add", "t"], "missing arguments"),
    (["trunk", "add", "", "u"], "trunk name must not be empty"), (["trunk", "add", "t", "u"], "not a terminal"),
    (MEDIT + ["192.0.2.1", "5060", "--password-fd", "77"], "not open"),
    (["trunk", "add", "t", "u", "--password-stdin"], "NUL byte"),
    (MADD + ["192.0.2.01", "5060"], "not a dotted IPv4"), (MADD + ["192.0.2.1", "65536"], "not a port number"),
], ids=repr)
def test_bad_arguments_exit_two_before_touching_the_store(ctl, dirs, args, message):
    result = ctl(*args, stdin=b"p\0w\n", ok=(2,))
    assert message.encode() in result.stderr and result.stdout == b""
    assert not os.path.exists(dirs.store)


def test_edits_without_an_agent_are_kept_and_refused_ones_change_nothing(ctl):
    result = ctl("roles", "master", "on", ok=(3,))
    assert b"the agent will pick it up at its next load" in result.stderr
    for args, password in [(("roles", "slave", "on"), None), (("trunk", "add", "t1", "alice"), "pw1"),
                           (("trunk", "add", "t2", "bob", "--symmetric-nat"), "pw2"),
                           (("trunk", "rename", "t1", "office"), None), (("trunk", "edit", "t2", "t2", "bob"), "pw2new"),
                           (("master", "add", "up2", "dave", "198.51.100.7", "5070", "--enable"), "pw4"),
                           (("master", "enable", "up"), None), (("master", "disable", "up2"), None),
                           (("master", "edit", "up", "uplink", "carol", "203.0.113.9", "5080"), "pw3b")]:
        if args[:3] == ("master", "add", "up2"):  # stored disabled, nothing to announce: plain success
            ctl("master", "add", "up", "carol", "192.0.2.1", "5060", password="pw3", ok=(0,))
        ctl(*args, password=password, ok=(3,))
    expected = {"roles": {"master": True, "slave": True}, "registered_slaves": [], "agent_running": False,
                "sip_trunks": [dict(name="office", user="alice", password="pw1", symmetric_nat=False),
                               dict(name="t2", user="bob", password="pw2new", symmetric_nat=False)],
                "trunks_to_master": [dict(name="uplink", user="carol", password="pw3b", address="203.0.113.9",
                                          port="5080", enabled=True, registered=False),
                                     dict(name="up2", user="dave", password="pw4", address="198.51.100.7",
                                          port="5070", enabled=False, registered=False)],
                "ua": dict(present=False, error=None, written=0, trunks_to_master=[], slaves=[])}
    assert ctl.status() == expected

    for args in (["trunk", "rename", "office", "t2"], ["trunk", "delete", "office", "nope"],
                 ["trunk", "edit", "nope", "t3", "u", "--password-stdin"], ["master", "enable", "nope"],
                 ["master", "add", "up2", "u", "192.0.2.2", "5060", "--password-stdin"]):
        ctl(*args, stdin=b"pw\n", ok=(1,))
    assert ctl.status() == expected

    ctl("trunk", "delete", "office", "t2", ok=(3,))
    ctl("master", "delete", "up2", ok=(3,))
    assert [t["name"] for t in ctl.status()["trunks_to_master"]] == ["uplink"]


def test_awkward_text_is_stored_and_shown_exactly(ctl):
    password = "p'\"\\;\t--\u00e9\u20ac"
    ctl("trunk", "add", INJECTION, "o'brien", password=password, ok=(3,))
    # Bytes that are not UTF-8 and control characters come out as \u00XX in JSON.
    ctl("master", "add", b"raw\xff\x01", b"u\x7f", "192.0.2.1", "5060", password="p", ok=(0,))
    out = ctl("status", "--json", "--show-passwords", ok=(3,)).stdout
    assert b'"raw\\u00ff\\u0001"' in out and b'"u\\u007f"' in out
    status = json.loads(out)
    assert status["sip_trunks"] == [dict(name=INJECTION, user="o'brien", password=password, symmetric_nat=False)]
    text = ctl("status").stdout
    assert b"password ***" in text and b"o'brien" in text and b"p'" not in text


def test_a_store_that_cannot_be_written_fails_with_exit_one(ctl, dirs):
    result = ctl("roles", "master", "on", env=dirs.env({"STATE_DIRECTORY": os.path.join(dirs.root, "missing")}),
                 ok=(1,))
    assert b"does not exist" in result.stderr
    os.mkdir(dirs.store)  # the database path is taken by a directory
    assert b"store" in ctl("trunk", "add", "t", "u", password="p", ok=(1,)).stderr


def test_each_command_sends_its_update_message_and_status_tells_who_listens(ctl, settings_side):
    for args, items in [
        (["roles", "master", "on"], ["0"]), (["roles", "slave", "off"], ["3"]),
        (["trunk", "add", "t1", "alice", "--password-stdin"], ["4", "t1", "alice", "pw", "0"]),
        (["trunk", "add", INJECTION, "bob", "--password-stdin", "--symmetric-nat"], ["4", INJECTION, "bob", "pw", "1"]),
        (["trunk", "rename", "t1", "t9"], ["5", "t1", "t9"]),
        (["trunk", "edit", "t9", "t9", "al", "--symmetric-nat", "--password-stdin"], ["5", "t9", "t9", "al", "pw", "1"]),
        (["trunk", "edit", "t9", "t8", "al", "--password-fd=0"], ["5", "t9", "t8", "al", "pw", "0"]),
        (["trunk", "delete", "t8", INJECTION, "t8"], ["6", "t8", INJECTION]),
        (["master", "add", "up", "carol", "192.0.2.1", "5060", "--enable", "--password-stdin"], ["7", "up", "up"]),
        (["master", "disable", "up"], ["7", "up", "up"]),
        (["master", "edit", "up", "up2", "carol", "192.0.2.1", "5060", "--password-stdin"], ["8", "up", "up2", "0"]),
        (["master", "edit", "up2", "up2", "carol", "192.0.2.1", "5061", "--password-stdin"], ["8", "up2", "up2", "1"]),
        (["master", "delete", "up2"], ["9", "up2"]), (["stop", "--no-wait"], ["10"]),
        (["send", "4x", "", "-1", "--json"], ["4x", "", "-1", "--json"])]:
        ctl(*args, stdin=b"pw\n", ok=(0,))
        assert unpack(settings_side.recv(1 << 17)) == items, args
    # A trunk towards a master added disabled is not announced.
    ctl("master", "add", "quiet", "u", "192.0.2.1", "5060", password="p", ok=(0,))
    masked = json.loads(ctl("status", "--json", ok=(0,)).stdout)  # 0: something takes the messages
    assert masked["agent_running"] is True and masked["trunks_to_master"][0]["password"] == "***"
    # Something takes the messages but never ends: stop waits, within its bound.
    assert b"has not ended within 1 s" in ctl("stop", "--timeout", "1", ok=(1,)).stderr
    assert unpack(settings_side.recv(1 << 17)) == ["10"]
    settings_side.setblocking(False)
    with pytest.raises(BlockingIOError):  # and "quiet" sent nothing
        settings_side.recv(1 << 17)

    settings_side.close()
    ctl("status", ok=(3,))  # the socket file stays, nobody has it bound
