"""siptrunkctl writes the store and sends the update message, the agent applies it, the user agent receives the
change; and the stop message. (Malformed datagrams: tests/platform, tests/unit, fuzz.)"""
import os
import signal
import time

from agentharness import CONNECTED, STOPPED, EventListener, UserAgent, ctl, status, store_edit, wait_for


def test_both_roles_and_their_trunks_through_siptrunkctl(agent, tools, dirs):
    agent.start()
    ua = UserAgent(dirs)
    agent.wait_trace(CONNECTED)
    ctl(tools, dirs, "roles", "master", "on")
    assert ua.set_users_list() == {"active": True, "master": True, "accounts": []}

    ctl(tools, dirs, "trunk", "add", "trunk1", "alice", "--symmetric-nat", password="secret")
    change = ua.change_user_params()
    assert (change["master"], change["old"]["user"], change["new"]["user"], change["new"]["flags"]) == (
        True, "", "alice", "256")

    ctl(tools, dirs, "trunk", "edit", "trunk1", "trunk-a", "alice", password="new-secret")
    change = ua.change_user_params()
    assert (change["old"]["password"], change["new"]["password"], change["new"]["flags"]) == ("secret", "new-secret",
                                                                                             "0")

    ctl(tools, dirs, "trunk", "delete", "trunk-a")
    change = ua.change_user_params()
    assert (change["old"]["user"], change["new"]["user"]) == ("alice", "")

    events = EventListener(dirs)
    ctl(tools, dirs, "roles", "slave", "on")
    assert ua.set_users_list() == {"active": True, "master": False, "accounts": []}

    ctl(tools, dirs, "master", "add", "uplink", "bob", "192.0.2.1", "5060", "--enable", password="pw")
    change = ua.change_user_params()
    assert (change["master"], change["new"]["user"], change["new"]["addr"], change["new"]["host"]) == (
        False, "bob", "192.0.2.1", os.uname().nodename)

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
    assert ua.change_user_params()["old"]["addr"] == "192.0.2.2"
    events.wait(3)
    assert events.events[-1] == ("SIPTunnelSlave", "Registration", "Unregistered user bob from master device 192.0.2.2:5070")

    ctl(tools, dirs, "master", "delete", "uplink2")
    change = ua.change_user_params()
    assert (change["old"]["user"], change["new"]["user"]) == ("", "")  # no entry left: empty to empty
    events.close()
    ua.close()


def test_stop_message_ends_the_agent_by_sigterm_and_spares_its_process_group(agent, tools, dirs):
    store_edit(tools, dirs, "roles", "master", "on")
    sibling_pid_file = os.path.join(dirs.root, "sibling.pid")  # a sibling in the agent's process group
    agent.start(prefix=["bash", "-c", 'sleep 60 & echo $! > "%s"; exec "$@"' % sibling_pid_file, "bash"])
    sibling = int(open(sibling_pid_file).read())
    assert os.getpgid(sibling) == os.getpgid(agent.pid)
    try:
        ua = UserAgent(dirs)
        ua.set_users_list()
        started = time.monotonic()
        ctl(tools, dirs, "stop")
        assert ua.set_users_list(timeout=5)["active"] is False  # the master role went off first
        assert agent.wait_exit(timeout=15) == -signal.SIGTERM
        assert time.monotonic() - started >= 2.0
        assert agent.trace_lines()[-1] == STOPPED and agent.trace_lines().count(STOPPED) == 1
        os.kill(sibling, 0)  # still there: raises if the stop message ended it
        ua.close()
    finally:
        os.kill(sibling, signal.SIGKILL)
