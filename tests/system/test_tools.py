"""siptrunkctl and siptrunk-uasim, the real binaries, against real SQLite
stores and real Unix sockets. Where the agent would stand, the test plays its
part on the socket itself, so every message the tools send is checked byte
for byte."""

import contextlib
import json
import os
import signal
import socket
import stat
import subprocess
import termios

import pytest

from toolsupport import (FakeAgentSettingsSide, FakeAgentUaSide, ToolEnv, build_dir, call_params,
                         join_items, wait_until)

INJECTION = "x'); DROP TABLE x;--"


@pytest.fixture
def tools(request):
    env = ToolEnv(build_dir(request.config))
    for program in (env.ctl_path, env.uasim_path):
        if not os.access(program, os.X_OK):
            pytest.skip("%s is not built" % program)
    yield env
    env.close()


@pytest.fixture
def settings_side(tools):
    with contextlib.closing(FakeAgentSettingsSide(tools.cgi_socket)) as side:
        yield side


@pytest.fixture
def ua_side(tools):
    with contextlib.closing(FakeAgentUaSide(tools.ua_socket)) as side:
        yield side


# --- siptrunkctl: arguments ----------------------------------------------------

HELP_COMMANDS = [
    [], ["status"], ["roles"], ["roles", "master"], ["roles", "slave"], ["trunk"], ["trunk", "add"],
    ["trunk", "rename"], ["trunk", "edit"], ["trunk", "delete"], ["master"], ["master", "add"],
    ["master", "enable"], ["master", "disable"], ["master", "edit"], ["master", "delete"],
    ["stop"], ["send"], ["events"],
]


@pytest.mark.parametrize("words", HELP_COMMANDS, ids=lambda w: " ".join(w) or "program")
def test_help_exits_zero_and_touches_nothing(tools, words):
    result = tools.ctl(*words, "--help")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(b"Usage: siptrunkctl") or result.stdout.startswith(b"Commands:")
    assert not os.path.exists(tools.store)


BAD_ARGUMENTS = [
    ([], "missing a command"),
    (["frobnicate"], "unknown command"),
    (["trunk"], "missing a subcommand"),
    (["trunk", "move", "a", "b"], "unknown subcommand"),
    (["roles", "master"], "on' or 'off"),
    (["roles", "master", "yes"], "on' or 'off"),
    (["trunk", "add", "t"], "missing arguments"),
    (["trunk", "add", "t", "u", "extra"], "too many arguments"),
    (["trunk", "add", "", "u"], "trunk name must not be empty"),
    (["trunk", "add", "t", ""], "user name must not be empty"),
    (["trunk", "add", "t", "u", "--nat"], "unknown option '--nat'"),
    (["trunk", "add", "t", "u"], "not a terminal"),
    (["trunk", "edit", "t", "t", "u", "--password-stdin", "--password-fd", "0"], "only one of"),
    (["master", "add", "m", "u", "192.0.2.1", "5060", "--password-fd", "x"], "descriptor number"),
    (["master", "edit", "m", "n", "u", "192.0.2.1", "5060", "--password-fd", "77"], "not open"),
    (["trunk", "add", "t", "u", "--password-stdin"], "NUL byte"),
    (["trunk", "rename", "a"], "missing arguments"),
    (["trunk", "delete"], "missing arguments"),
    (["master", "add", "m", "u", "192.0.2", "5060"], "not a dotted IPv4 address"),
    (["master", "add", "m", "u", "192.0.2.256", "5060"], "not a dotted IPv4 address"),
    (["master", "add", "m", "u", "192.0.2.1.5", "5060"], "not a dotted IPv4 address"),
    (["master", "add", "m", "u", "192.0.2.01", "5060"], "not a dotted IPv4 address"),
    (["master", "add", "m", "u", "host.example", "5060"], "not a dotted IPv4 address"),
    (["master", "add", "m", "u", " 192.0.2.1", "5060"], "not a dotted IPv4 address"),
    (["master", "add", "m", "u", "192.0.2.1", "0"], "not a port number"),
    (["master", "add", "m", "u", "192.0.2.1", "65536"], "not a port number"),
    (["master", "add", "m", "u", "192.0.2.1", "--", "-1"], "not a port number"),
    (["master", "add", "m", "u", "192.0.2.1", "-1"], "unknown option '-1'"),
    (["master", "add", "m", "u", "192.0.2.1", "50x"], "not a port number"),
    (["master", "edit", "m", "n", "u", "192.0.2.1", ""], "not a port number"),
    (["master", "enable"], "missing arguments"),
    (["status", "extra"], "too many arguments"),
    (["events", "--count", "0"], "not a positive whole number"),
    (["events", "--count"], "needs a value"),
    (["stop", "--no-wait", "--timeout", "5"], "no use with --no-wait"),
    (["status", "--json=1"], "takes no value"),
    (["send"], "missing the message type"),
]


@pytest.mark.parametrize("args,message", BAD_ARGUMENTS, ids=lambda v: repr(v))
def test_bad_arguments_exit_two_before_touching_the_store(tools, args, message):
    result = tools.ctl(*args, stdin=b"p\0w\n")
    assert result.returncode == 2, (result.stdout, result.stderr)
    assert message.encode() in result.stderr
    assert result.stdout == b""
    assert not os.path.exists(tools.store)


# --- siptrunkctl: store edits without an agent ------------------------------------

def test_edits_without_an_agent_are_kept_and_exit_three(tools):
    result = tools.ctl("roles", "master", "on")
    assert result.returncode == 3
    assert b"the agent will pick it up at its next load" in result.stderr
    assert tools.status()["agent_running"] is False

    tools.ctl_ok("roles", "slave", "on", allowed=(3,))
    tools.ctl_ok("trunk", "add", "t1", "alice", password="pw1", allowed=(3,))
    tools.ctl_ok("trunk", "add", "t2", "bob", "--symmetric-nat", password="pw2", allowed=(3,))
    tools.ctl_ok("trunk", "rename", "t1", "office", allowed=(3,))
    tools.ctl_ok("trunk", "edit", "t2", "t2", "bob", password="pw2new", allowed=(3,))
    # A trunk towards a master stored disabled needs no message: plain success.
    tools.ctl_ok("master", "add", "up", "carol", "192.0.2.1", "5060", password="pw3")
    tools.ctl_ok("master", "add", "up2", "dave", "198.51.100.7", "5070", "--enable", password="pw4", allowed=(3,))
    tools.ctl_ok("master", "enable", "up", allowed=(3,))
    tools.ctl_ok("master", "disable", "up2", allowed=(3,))
    tools.ctl_ok("master", "edit", "up", "uplink", "carol", "203.0.113.9", "5080", password="pw3b", allowed=(3,))

    assert tools.status() == {
        "roles": {"master": True, "slave": True},
        "sip_trunks": [
            {"name": "office", "user": "alice", "password": "pw1", "symmetric_nat": False},
            {"name": "t2", "user": "bob", "password": "pw2new", "symmetric_nat": False},
        ],
        "trunks_to_master": [
            {"name": "uplink", "user": "carol", "password": "pw3b", "address": "203.0.113.9",
             "port": "5080", "enabled": True, "registered": False},
            {"name": "up2", "user": "dave", "password": "pw4", "address": "198.51.100.7",
             "port": "5070", "enabled": False, "registered": False},
        ],
        "registered_slaves": [],
        "agent_running": False,
        "ua": {"present": False, "error": None, "written": 0, "trunks_to_master": [], "slaves": []},
    }
    # The UA's status file cut short, or with a bad field: said, never a crash.
    for text, error in [("siptrunk-ua status 1\nwritten\t5\n", "no end line"),
                        ("siptrunk-ua status 1\nslave\tx\t\t0\t\t200\tO\\q\t0\nend\n", "line 2: bad field")]:
        with open(os.path.join(tools.runtime, "siptrunk-ua.status"), "w") as f:
            f.write(text)
        assert error in tools.status()["ua"]["error"]
        assert b"user agent: status unreadable" in tools.ctl_ok("status", allowed=(3,)).stdout
    os.unlink(os.path.join(tools.runtime, "siptrunk-ua.status"))

    tools.ctl_ok("trunk", "delete", "office", "t2", allowed=(3,))
    tools.ctl_ok("master", "delete", "up2", allowed=(3,))
    tools.ctl_ok("roles", "master", "off", allowed=(3,))
    status = tools.status()
    assert status["roles"] == {"master": False, "slave": True}
    assert status["sip_trunks"] == []
    assert [t["name"] for t in status["trunks_to_master"]] == ["uplink"]

    # Without a store edit there is nothing to keep: the message says so.
    for args in (["stop"], ["stop", "--no-wait"], ["send", "0"]):
        result = tools.ctl(*args)
        assert result.returncode == 3
        assert b"nothing was sent" in result.stderr


def test_refused_edits_leave_the_store_as_it_was(tools):
    tools.ctl_ok("trunk", "add", "t1", "alice", password="pw", allowed=(3,))
    tools.ctl_ok("trunk", "add", "t2", "bob", password="pw", allowed=(3,))
    tools.ctl_ok("master", "add", "up", "carol", "192.0.2.1", "5060", password="pw")
    before = tools.status()
    refused = [
        (["trunk", "add", "t1", "x", "--password-stdin"], b"already exists"),
        (["trunk", "rename", "t1", "t2"], b"already exists"),
        (["trunk", "rename", "nope", "t3"], b"no SIP trunk named 'nope'"),
        (["trunk", "edit", "nope", "t3", "u", "--password-stdin"], b"no SIP trunk named"),
        (["trunk", "delete", "t1", "nope"], b"nothing deleted"),
        (["master", "add", "up", "u", "192.0.2.2", "5060", "--password-stdin"], b"already exists"),
        (["master", "enable", "nope"], b"no trunk towards a master named"),
        (["master", "edit", "nope", "x", "u", "192.0.2.2", "5060", "--password-stdin"], b"no trunk towards a master"),
        (["master", "delete", "up", "nope"], b"nothing deleted"),
    ]
    for args, message in refused:
        result = tools.ctl(*args)
        assert result.returncode == 1, (args, result.stderr)
        assert message in result.stderr, (args, result.stderr)
    assert tools.status() == before
    # Disabling a disabled trunk changes nothing and sends nothing.
    result = tools.ctl("master", "disable", "up")
    assert result.returncode == 0 and b"already disabled" in result.stdout


def test_awkward_text_is_stored_and_shown_exactly(tools):
    password = "p'\"\\;\t--\u00e9\u20ac"
    tools.ctl_ok("trunk", "add", INJECTION, "o'brien", password=password, allowed=(3,))
    tools.ctl_ok("trunk", "add", "--", "-dash", "u", password="p", allowed=(3,))  # after "--" a name may start with a dash
    tools.ctl_ok("trunk", "add", "--", "--double", "u", password="p", allowed=(3,))
    # Bytes that are not UTF-8 and control characters reach the store untouched
    # and come out as \u00XX in JSON.
    tools.ctl_ok("master", "add", b"raw\xff\x01", b"u\x7f", "192.0.2.1", "5060", password="p")
    result = tools.ctl("status", "--json", "--show-passwords")
    assert result.returncode == 3
    assert b'"raw\\u00ff\\u0001"' in result.stdout
    assert b'"u\\u007f"' in result.stdout
    status = json.loads(result.stdout)
    assert status["sip_trunks"][0] == {"name": INJECTION, "user": "o'brien", "password": password,
                                       "symmetric_nat": False}
    assert [t["name"] for t in status["sip_trunks"]] == [INJECTION, "-dash", "--double"]
    assert status["trunks_to_master"][0]["name"] == "raw\u00ff\u0001"

    text = tools.ctl("status").stdout
    assert b"password ***" in text and b"o'brien" in text and b"p'" not in text
    assert b"raw\\xff\\x01" in text  # the text form stays on one line
    shown = tools.ctl("status", "--show-passwords").stdout
    assert b"password p'\"\\\\;\\x09--" in shown

    tools.ctl_ok("trunk", "rename", INJECTION, INJECTION + "2", allowed=(3,))
    tools.ctl_ok("trunk", "delete", INJECTION + "2", allowed=(3,))
    assert [t["name"] for t in tools.status()["sip_trunks"]] == ["-dash", "--double"]


def test_a_store_that_cannot_be_written_fails_with_exit_one(tools):
    env = dict(tools.env, STATE_DIRECTORY=tools.path("missing"))
    result = tools.ctl("roles", "master", "on", env=env)
    assert result.returncode == 1
    assert b"does not exist" in result.stderr

    os.mkdir(tools.store)  # the database path is taken by a directory
    result = tools.ctl("trunk", "add", "t", "u", password="p")
    assert result.returncode == 1
    assert b"store" in result.stderr

    # No store yet is nothing configured, not a failure: status still answers for the agent.
    result = tools.ctl("status", env=dict(tools.env, STATE_DIRECTORY=tools.run_dir))
    assert result.returncode == 3
    assert b"none yet" in result.stdout


def test_passwords_come_from_the_terminal_without_echo_stdin_or_a_descriptor(tools):
    tools.ctl_ok("trunk", "add", "s", "u1", password="from stdin", allowed=(3,))
    r, w = os.pipe()
    os.write(w, b"from fd\nnot taken\n")
    os.close(w)
    fd_run = subprocess.run([tools.ctl_path, "trunk", "add", "f", "u2", "--password-fd", str(r)], pass_fds=(r,),
                            env=tools.env, capture_output=True, stdin=subprocess.DEVNULL, timeout=30)
    os.close(r)
    assert fd_run.returncode == 3, fd_run.stderr

    master, slave = os.openpty()
    asked = subprocess.Popen([tools.ctl_path, "trunk", "add", "t", "u3"], stdin=slave, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=tools.env, start_new_session=True)
    os.close(slave)
    prompt = b""
    while not prompt.endswith(b": "):
        chunk = os.read(asked.stderr.fileno(), 100)
        assert chunk, prompt
        prompt += chunk
    assert prompt == b"Password of 'u3': "
    os.write(master, b"typed secret\n")
    assert asked.wait(timeout=30) == 3
    echoed = os.read(master, 1000)
    assert b"typed" not in echoed  # only the line end shows
    assert termios.tcgetattr(master)[3] & termios.ECHO  # and echo is back on
    os.close(master)
    assert {t["name"]: t["password"] for t in tools.status()["sip_trunks"]} == {
        "s": "from stdin", "f": "from fd", "t": "typed secret"}


def test_status_exit_codes_and_masked_json(tools, settings_side):
    tools.ctl_ok("trunk", "add", "t1", "alice", password="pw1")
    tools.ctl_ok("master", "add", "up", "bob", "192.0.2.1", "5060", password="pw2")
    masked = json.loads(tools.ctl_ok("status", "--json").stdout)  # 0: something takes the messages
    assert [t["password"] for t in masked["sip_trunks"] + masked["trunks_to_master"]] == ["***", "***"]
    assert b"pw1" not in tools.ctl_ok("status").stdout
    assert json.loads(tools.ctl_ok("roles", "--json").stdout) == {"master": False, "slave": False}
    settings_side.close()
    assert tools.ctl("status").returncode == 3  # the socket file stays, nobody has it bound
    os.unlink(tools.cgi_socket)
    stream = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stream.bind(tools.cgi_socket)
    stream.listen(1)
    result = tools.ctl("status")
    assert result.returncode == 4 and b"agent: unknown" in result.stdout  # cannot tell
    stream.close()


# --- siptrunkctl: the update messages -------------------------------------------

def test_each_command_sends_its_update_message(tools, settings_side):
    expected = [
        (["roles", "master", "on"], ["0"]),
        (["roles", "master", "off"], ["1"]),
        (["roles", "slave", "on"], ["2"]),
        (["roles", "slave", "off"], ["3"]),
        (["trunk", "add", "t1", "alice", "--password-stdin"], ["4", "t1", "alice", "pw", "0"]),
        (["trunk", "add", INJECTION, "bob", "--password-stdin", "--symmetric-nat"], ["4", INJECTION, "bob", "pw", "1"]),
        (["trunk", "rename", "t1", "t9"], ["5", "t1", "t9"]),
        (["trunk", "edit", "t9", "t9", "al", "--symmetric-nat", "--password-stdin"], ["5", "t9", "t9", "al", "pw", "1"]),
        (["trunk", "edit", "t9", "t8", "al", "--password-fd=0"], ["5", "t9", "t8", "al", "pw", "0"]),
        (["trunk", "delete", "t8", INJECTION, "t8"], ["6", "t8", INJECTION]),
        (["master", "add", "up", "carol", "192.0.2.1", "5060", "--enable", "--password-stdin"], ["7", "up", "up"]),
        (["master", "disable", "up"], ["7", "up", "up"]),
        (["master", "enable", "up"], ["7", "up", "up"]),
        (["master", "edit", "up", "up2", "carol", "192.0.2.1", "5060", "--password-stdin"], ["8", "up", "up2", "0"]),
        (["master", "edit", "up2", "up2", "carol", "192.0.2.1", "5061", "--password-stdin"], ["8", "up2", "up2", "1"]),
        (["master", "delete", "up2"], ["9", "up2"]),
        (["stop", "--no-wait"], ["10"]),
        (["send", "4x", "", "-1", "--json"], ["4x", "", "-1", "--json"]),
        (["send", "--", "--help"], ["--help"]),
    ]
    for args, items in expected:
        result = tools.ctl(*args, stdin=b"pw\n")
        assert result.returncode == 0, (args, result.stderr)
        assert settings_side.next_message() == items, args
    # A trunk towards a master added disabled is not announced.
    tools.ctl_ok("master", "add", "quiet", "u", "192.0.2.1", "5060", password="p")
    assert not settings_side.pending()
    assert tools.status()["agent_running"] is True
    # Something takes the messages but never ends: stop waits, within its bound.
    result = tools.ctl("stop", "--timeout", "1")
    assert result.returncode == 1 and b"has not ended within 1 s" in result.stderr
    assert settings_side.next_message() == ["10"]


# --- siptrunkctl events -----------------------------------------------------------

def notice(source, kind, text):
    return join_items([source, kind, text])


def test_events_prints_each_notification_and_removes_its_socket(tools):
    # A socket file left by a listener that died is taken over.
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    stale.bind(tools.event_socket)
    stale.close()

    events = tools.start([tools.ctl_path, "events", "--count", "3", "--json"])
    wait_until(lambda: _live(tools.event_socket), "the event socket")
    assert stat.S_IMODE(os.stat(tools.event_socket).st_mode) == 0o660
    sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sender.sendto(notice("SIPTunnelMaster", "Registration",
                         "Successfully registered user alice(192.0.2.10:5060) on master device "),
                  tools.event_socket)
    sender.sendto(b"SIPTunnelSlave\0no final nul", tools.event_socket)  # dropped, not counted
    sender.sendto(notice("SIPTunnelSlave", "Registration failure", b"line\nbreak \xff \"q\""),
                  tools.event_socket)
    sender.sendto(notice("", "", ""), tools.event_socket)
    assert events.wait() == 0
    lines = [json.loads(events.next_line()) for _ in range(3)]
    assert lines == [
        {"source": "SIPTunnelMaster", "kind": "Registration",
         "text": "Successfully registered user alice(192.0.2.10:5060) on master device "},
        {"source": "SIPTunnelSlave", "kind": "Registration failure", "text": "line\nbreak \u00ff \"q\""},
        {"source": "", "kind": "", "text": ""},
    ]
    assert b"malformed" in events.stderr
    assert not os.path.exists(tools.event_socket)


def test_events_text_form_and_stop_on_sigterm(tools):
    events = tools.start([tools.ctl_path, "events"])
    wait_until(lambda: _live(tools.event_socket), "the event socket")
    # A second listener is refused while the first one runs.
    second = tools.ctl("events", "--count", "1")
    assert second.returncode == 1 and b"another listener" in second.stderr

    sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sender.sendto(notice("SIPTunnelSlave", "Registration", "Unregistered user bob from master device 192.0.2.1:5060"),
                  tools.event_socket)
    assert events.next_line() == \
        "SIPTunnelSlave | Registration | Unregistered user bob from master device 192.0.2.1:5060"
    events.proc.send_signal(signal.SIGTERM)
    assert events.wait() == 0
    assert not os.path.exists(tools.event_socket)


def _live(path):
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    try:
        probe.connect(path)
        return True
    except OSError:
        return False
    finally:
        probe.close()


# --- siptrunk-uasim against a fake agent ------------------------------------------

def start_uasim(tools, *options):
    return tools.start([tools.uasim_path, "--wait", "30", "--state", tools.path("state.json"), *options])


def read_state(tools):
    with open(tools.path("state.json")) as f:
        return json.load(f)


def test_uasim_handshake_lists_and_state(tools, ua_side):
    sim = start_uasim(tools)
    ua_side.handshake()
    assert sim.line_starting("HELLO") == "HELLO version=1"

    ua_side.send_items(["SET_USERS_LIST", "1", "1", "2"]
                       + call_params("alice", "secret")
                       + call_params("bob", "pw 2", flags=0x100, reserved=("r", "", "", "", "")))
    assert sim.line_starting("SET_USERS_LIST") == "SET_USERS_LIST active=1 master=1 count=2"
    assert sim.next_line() == "  user=alice password=secret host= addr= port= flags=0x0"
    assert sim.next_line() == "  user=bob password=pw\\x202 host= addr= port= flags=0x100 r1=r"
    wait_until(lambda: read_state(tools)["master"]["accounts"], "the state file")
    assert read_state(tools) == {
        "master": {"active": True, "accounts": [{"user": "alice", "password": "secret", "flags": 0},
                                                {"user": "bob", "password": "pw 2", "flags": 256}]},
        "slave": {"active": False, "accounts": []}}

    slave = call_params("carol", "pw3", host="dev1", addr="192.0.2.1", port="5060")
    changes = [
        (["CHANGE_USER_PARAMS", "0"] + call_params() + slave,
         "CHANGE_USER_PARAMS master=0 old={} new={user=carol password=pw3 host=dev1 addr=192.0.2.1 port=5060 flags=0x0}"),
        (["CHANGE_USER_PARAMS", "1"] + call_params("alice", "secret") + call_params("alice2", "s2"),
         "CHANGE_USER_PARAMS master=1 old={user=alice password=secret host= addr= port= flags=0x0} "
         "new={user=alice2 password=s2 host= addr= port= flags=0x0}"),
        (["CHANGE_USER_PARAMS", "1"] + call_params("bob", "pw 2") + call_params(),
         "CHANGE_USER_PARAMS master=1 old={user=bob password=pw\\x202 host= addr= port= flags=0x0} new={}"),
        (["CHANGE_USER_PARAMS", "1"] + call_params("nobody") + call_params(),
         "CHANGE_USER_PARAMS master=1 old={user=nobody password= host= addr= port= flags=0x0} new={}"),
    ]
    for items, line in changes:
        ua_side.send_items(items)
        assert sim.line_starting("CHANGE_USER_PARAMS") == line
    ua_side.send_items(["SET_USERS_LIST", "0", "0", "0"])
    sim.line_starting("SET_USERS_LIST active=0 master=0 count=0")
    wait_until(lambda: read_state(tools)["slave"]["accounts"] == [], "the emptied slave list")
    assert read_state(tools) == {
        "master": {"active": True, "accounts": [{"user": "alice2", "password": "s2", "flags": 0}]},
        "slave": {"active": False, "accounts": []}}

    # A malformed packet is shown and the link stays.
    ua_side.conn.send(b"SET_USERS_LIST\x001\x00")
    assert sim.line_starting("MALFORMED").startswith("MALFORMED")
    ua_side.send_items(["HELLO", "1"])
    assert sim.line_starting("HELLO") == "HELLO version=1"

    # The agent going away ends the simulated user agent and its accounts.
    ua_side.conn.close()
    assert sim.line_starting("DISCONNECTED").startswith("DISCONNECTED")
    assert sim.wait() == 0
    assert read_state(tools) == {"master": {"active": False, "accounts": []},
                                 "slave": {"active": False, "accounts": []}}


def test_uasim_commands_send_exact_packets(tools, ua_side):
    sim = start_uasim(tools)
    ua_side.handshake()
    ua_side.send_items(["SET_USERS_LIST", "1", "0", "1"]
                       + call_params("bob", "secret2", host="dev", addr="192.0.2.1", port="5060"))
    sim.line_starting("SET_USERS_LIST")
    sim.send("# a comment, then a blank line\n\n")
    sim.send("confirm master alice secret 192.0.2.10 5060 1 0 slavehost\n")
    assert ua_side.recv_items() == ["CONFIRM_USER_STATE", "1", "0", "1"] + call_params(
        "alice", "secret", host="slavehost", addr="192.0.2.10", port="5060")
    sim.send("confirm master alice '' 192.0.2.10 5060 0 12\n")
    assert ua_side.recv_items() == ["CONFIRM_USER_STATE", "0", "12", "1"] + call_params(
        "alice", "", addr="192.0.2.10", port="5060")
    # The slave confirmation takes password and host name from the held account.
    sim.send("confirm slave bob 192.0.2.1 5060 0 7\n")
    assert ua_side.recv_items() == ["CONFIRM_USER_STATE", "0", "7", "0"] + call_params(
        "bob", "secret2", host="dev", addr="192.0.2.1", port="5060")
    sim.send("confirm slave unknown 192.0.2.1 5060 1 4294967295\n")
    assert ua_side.recv_items() == ["CONFIRM_USER_STATE", "1", "4294967295", "0"] + call_params(
        "unknown", addr="192.0.2.1", port="5060")
    sim.send('raw CONFIRM_USER_STATE "" "a b" \\x41\n')
    assert ua_side.recv_raw() == b"CONFIRM_USER_STATE\0\0a b\0A\0"
    sim.send("rawhex 4845 4c4c4f\n")
    assert ua_side.recv_raw() == b"HELLO"
    sim.send("request\n")
    assert ua_side.recv_items() == ["REQUEST_USERS_LIST"]
    # Bad commands are reported and skipped; the next one still runs.
    sim.send("confirm master a b\nconfirm slave u 192.0.2.1 5060 2 0\nbogus\nraw \"open\nrawhex 4\n"
             "sleep 20\nhello 3\n")
    assert ua_side.recv_items() == ["HELLO", "3"]
    sim.close_stdin()
    assert sim.wait() == 0
    for message in (b"usage: confirm master", b"REGISTERED must be 0 or 1", b"unknown command 'bogus'",
                    b"unclosed double quote", b"even number of hex digits"):
        assert message in sim.stderr, sim.stderr


def test_uasim_confirms_slave_accounts_on_its_own(tools, ua_side):
    sim = start_uasim(tools, "--auto-confirm-slave=9")
    ua_side.handshake()
    up1 = call_params("bob", "pw1", host="dev", addr="192.0.2.1", port="5060")
    up2 = call_params("dave", "pw2", addr="198.51.100.7", port="5070")
    # The master list and an inactive slave list are not confirmed.
    ua_side.send_items(["SET_USERS_LIST", "1", "1", "1"] + call_params("alice", "s"))
    ua_side.send_items(["SET_USERS_LIST", "0", "0", "1"] + up1)
    ua_side.send_items(["SET_USERS_LIST", "1", "0", "2"] + up1 + up2)
    assert ua_side.recv_items() == ["CONFIRM_USER_STATE", "1", "9", "0"] + up1
    assert ua_side.recv_items() == ["CONFIRM_USER_STATE", "1", "9", "0"] + up2
    # A withdrawal is not confirmed; an addition is.
    ua_side.send_items(["CHANGE_USER_PARAMS", "0"] + up1 + call_params())
    ua_side.send_items(["CHANGE_USER_PARAMS", "0"] + call_params() + up1)
    assert ua_side.recv_items() == ["CONFIRM_USER_STATE", "1", "9", "0"] + up1
    sim.line_starting("SENT CONFIRM_USER_STATE registered=1 error=9 master=0 account={user=bob")
    wait_until(lambda: len(read_state(tools)["slave"]["accounts"]) == 2, "the slave list")
    assert read_state(tools)["slave"] == {"active": True, "accounts": [
        {"user": "dave", "password": "pw2", "address": "198.51.100.7", "port": "5070", "host": ""},
        {"user": "bob", "password": "pw1", "address": "192.0.2.1", "port": "5060", "host": "dev"}]}


def test_uasim_waits_for_the_agent_and_takes_commands_from_a_fifo(tools):
    control = tools.path("uasim.ctl")
    sim = tools.start([tools.uasim_path, "--stay", "--control", control, "--wait", "30"],
                      stdin=subprocess.DEVNULL)
    # The agent comes up after the user agent: it keeps trying until then.
    wait_until(lambda: os.path.exists(control), "the control FIFO")  # made by mkfifo: no other file
    ua_side = FakeAgentUaSide(tools.ua_socket)
    try:
        ua_side.handshake()
        # Writers one after the other, each opening and closing the FIFO; a
        # last line without a newline counts too.
        for user in ("w1", "w2"):
            with open(control, "w") as fifo:
                fifo.write("confirm master %s pw 192.0.2.10 5060 1 0" % user)
            assert ua_side.recv_items()[4] == user
        # With --stay a lost link is taken up again.
        ua_side.conn.close()
        ua_side.handshake()
        with open(control, "w") as fifo:
            fifo.write("reconnect\n")
        ua_side.handshake()
        with open(control, "w") as fifo:
            fifo.write("quit\n")
        assert sim.wait() == 0
    finally:
        ua_side.close()


def test_uasim_gives_up_without_an_agent_and_checks_options(tools):
    def uasim(*args):
        return subprocess.run([tools.uasim_path, *args], env=tools.env, stdin=subprocess.PIPE, capture_output=True,
                              timeout=30)

    result = uasim("--wait", "0")
    assert result.returncode == 1 and b"no agent listens on" in result.stderr
    for args in (["--wait", "soon"], ["--auto-confirm-slave=x"], ["--frob"], ["--state"]):
        assert uasim(*args).returncode == 2, args
    result = uasim("--script", tools.path("missing.txt"))
    assert result.returncode == 2 and b"cannot open the script" in result.stderr
    help_text = uasim("--help")
    assert help_text.returncode == 0 and b"confirm master USER PASSWORD" in help_text.stdout


def test_uasim_runs_a_script_file(tools, ua_side):
    script = tools.path("script.txt")
    with open(script, "w") as f:
        f.write("confirm master alice secret 192.0.2.10 5060 1 0\nconfirm master alice secret 192.0.2.10 5060 0 0\n")
    sim = tools.start([tools.uasim_path, "--wait", "30", "--script", script], stdin=subprocess.DEVNULL)
    ua_side.handshake()
    assert ua_side.recv_items()[1:4] == ["1", "0", "1"]
    assert ua_side.recv_items()[1:4] == ["0", "0", "1"]
    sim.line_starting("SENT CONFIRM_USER_STATE registered=0 error=0 master=1")
    assert sim.wait() == 0
