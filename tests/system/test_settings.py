"""The settings side end to end: siptrunkctl writes the store and sends the
update message, the agent applies it, the user agent receives the change.
Also raw, malformed and short datagrams, and the stop message."""
import os
import signal
import time

import pytest

from agentharness import EventListener, UserAgent, ctl, status, store_edit, wait_for

TYPE_LINE = "MESS: Incoming update message from SIP Trunk settings CGI. type: # %s \n"


@pytest.fixture
def running(agent, tools, dirs):
    """An agent with a connected user agent and both roles off."""
    agent.start()
    ua = UserAgent(dirs)
    agent.wait_trace("INFO:SIP Trunk Agent: OnSetUsersList: SIP user agent connected ...\n")
    yield agent, ua
    ua.close()


def test_master_role_and_sip_trunks_through_siptrunkctl(running, tools, dirs):
    agent, ua = running
    ctl(tools, dirs, "roles", "master", "on")
    assert ua.set_users_list() == {"active": True, "master": True, "accounts": []}

    ctl(tools, dirs, "trunk", "add", "trunk1", "alice", "--symmetric-nat", password="secret")
    change = ua.change_user_params()
    assert change["master"] is True
    assert change["old"]["user"] == ""
    assert (change["new"]["user"], change["new"]["password"], change["new"]["flags"]) == ("alice", "secret", "256")

    ua.confirm(True, 0, True, user="alice", password="secret", addr="192.0.2.10", port="5060")
    wait_for(lambda: status(tools, dirs)["registered_slaves"], what="registered slave")

    ctl(tools, dirs, "trunk", "rename", "trunk1", "trunk-a")
    agent.wait_trace_containing("#OnlyNameChanged : true")

    ctl(tools, dirs, "trunk", "edit", "trunk-a", "trunk-a", "alice", password="new-secret")
    change = ua.change_user_params()
    assert (change["old"]["password"], change["new"]["password"], change["new"]["flags"]) == ("secret", "new-secret", "0")
    # The slave registered with the previous account was dropped.
    wait_for(lambda: status(tools, dirs)["registered_slaves"] == [], what="slave dropped by the edit")

    ctl(tools, dirs, "trunk", "delete", "trunk-a")
    change = ua.change_user_params()
    assert (change["old"]["user"], change["new"]["user"]) == ("alice", "")

    ctl(tools, dirs, "roles", "master", "off")
    assert ua.set_users_list()["active"] is False


def test_slave_role_and_trunks_towards_masters_through_siptrunkctl(running, tools, dirs):
    agent, ua = running
    events = EventListener(dirs)
    ctl(tools, dirs, "roles", "slave", "on")
    assert ua.set_users_list() == {"active": True, "master": False, "accounts": []}

    ctl(tools, dirs, "master", "add", "uplink", "bob", "192.0.2.1", "5060", "--enable", password="pw")
    change = ua.change_user_params()
    assert change["master"] is False
    assert (change["new"]["user"], change["new"]["addr"], change["new"]["port"]) == ("bob", "192.0.2.1", "5060")
    assert change["new"]["host"] == os.uname().nodename

    ua.confirm(True, 0, False, user="bob", addr="192.0.2.1", port="5060")
    events.wait(1)
    wait_for(lambda: status(tools, dirs)["trunks_to_master"][0]["registered"], what="registered state")

    # An edit of the parameters withdraws the account the user agent holds and registers the new one.
    ctl(tools, dirs, "master", "edit", "uplink", "uplink2", "bob", "192.0.2.2", "5070", password="pw")
    withdraw = ua.change_user_params()
    register = ua.change_user_params()
    assert (withdraw["old"]["addr"], withdraw["new"]["user"]) == ("192.0.2.1", "")
    assert (register["old"]["user"], register["new"]["addr"]) == ("", "192.0.2.2")

    ctl(tools, dirs, "master", "disable", "uplink2")
    withdraw = ua.change_user_params()
    assert withdraw["old"]["addr"] == "192.0.2.2"
    events.wait(3)
    assert events.events[-1] == ("SIPTunnelSlave", "Registration", "Unregistered user bob from master device 192.0.2.2:5070")

    ctl(tools, dirs, "master", "delete", "uplink2")
    change = ua.change_user_params()
    assert (change["old"]["user"], change["new"]["user"]) == ("", "")  # no entry left: empty to empty
    events.close()


def test_raw_malformed_and_short_datagrams(running, tools, dirs):
    agent, ua = running
    agent.send_update(raw=b"4\0trunk1\0alice")          # no final NUL: rejected
    agent.send_update(raw=b"4" + b"\0" * 70000)          # over 64 KiB: rejected
    agent.send_update(raw=b"")                           # the empty list: no trace
    agent.send_update("7", "only-one-name")               # too short
    agent.send_update("-1")
    agent.send_update(" 8zz", "a", "b", "1")              # type 8, rename-only flag false? "1": parameters changed
    agent.send_update("11")
    agent.wait_trace(TYPE_LINE % "0b")
    lines = agent.trace_lines()
    assert TYPE_LINE % "07" in lines
    assert any(l.startswith("ERROR: Update message of type 7 dropped: too short") for l in lines)
    assert TYPE_LINE % "ffffffff" in lines
    assert TYPE_LINE % "08" in lines
    assert TYPE_LINE % "04" not in lines  # the two rejected datagrams were never dispatched
    assert agent.running()


def test_stop_message_ends_the_agent_by_sigterm_and_spares_its_process_group(agent, tools, dirs):
    """A sibling shares the agent's process group; the stop message must end
    the agent only."""
    store_edit(tools, dirs, "roles", "master", "on")
    sibling_pid_file = os.path.join(dirs.root, "sibling.pid")
    agent.start(prefix=["bash", "-c", 'sleep 60 & echo $! > "%s"; exec "$@"' % sibling_pid_file, "bash"])
    sibling = int(open(sibling_pid_file).read())
    assert os.getpgid(sibling) == os.getpgid(agent.pid)
    try:
        ua = UserAgent(dirs)
        ua.set_users_list()
        started = time.monotonic()
        code, _, _ = ctl(tools, dirs, "stop")
        assert code == 0
        assert ua.set_users_list(timeout=5)["active"] is False  # the master role went off first
        assert agent.wait_exit(timeout=15) == -signal.SIGTERM
        assert time.monotonic() - started >= 2.0
        lines = agent.trace_lines()
        assert lines[-1] == "INFO: ----Communication SIP Trunk Agent Stoped -----\n"
        assert lines.count("INFO: ----Communication SIP Trunk Agent Stoped -----\n") == 1
        os.kill(sibling, 0)  # still there: raises if the stop message ended it
        ua.close()
    finally:
        os.kill(sibling, signal.SIGKILL)
