"""The user-agent side end to end: lists pushed on connection, slaves
registering, moving and unregistering on this master, trunks towards a master
failing and recovering, and bad input on the user-agent link."""
import contextlib
import os
import signal
import socket
import time

import pytest

from agentharness import EventListener, UserAgent, pack, status, store_edit, wait_for

CONNECTED = "INFO:SIP Trunk Agent: OnSetUsersList: SIP user agent connected ...\n"
DISCONNECTED = "INFO:SIP Trunk Agent: SIP user agent disconnected ...\n"


@pytest.fixture
def both_roles(tools, dirs):
    store_edit(tools, dirs, "roles", "master", "on")
    store_edit(tools, dirs, "roles", "slave", "on")
    store_edit(tools, dirs, "trunk", "add", "trunk1", "alice", password="secret")
    store_edit(tools, dirs, "trunk", "add", "trunk2", "carol", "--symmetric-nat", password="secret3")
    store_edit(tools, dirs, "master", "add", "uplink", "bob", "192.0.2.1", "5060", "--enable", password="secret2")


def test_each_connection_pushes_master_lists_first_then_the_slave_list(agent, dirs, both_roles):
    agent.start()
    ua = UserAgent(dirs)
    first = ua.set_users_list()
    second = ua.set_users_list()
    assert (first["active"], first["master"]) == (True, True)
    assert [(a["user"], a["password"]) for a in first["accounts"]] == [("alice", "secret"), ("carol", "secret3")]
    assert all(a["addr"] == "" and a["flags"] == "0" for a in first["accounts"])
    assert (second["active"], second["master"]) == (True, False)
    assert [(a["user"], a["addr"], a["port"]) for a in second["accounts"]] == [("bob", "192.0.2.1", "5060")]
    agent.wait_trace(CONNECTED)
    # A user agent that vanishes is reported once; the next connection loads again.
    ua.sock.shutdown(socket.SHUT_RDWR)
    ua.close()
    agent.wait_trace(DISCONNECTED)
    ua = UserAgent(dirs)
    assert ua.set_users_list()["master"] is True
    assert ua.set_users_list()["master"] is False
    assert agent.trace_lines().count(CONNECTED) == 2
    assert agent.trace_lines().count(DISCONNECTED) == 1
    ua.close()


def test_slave_registers_moves_and_unregisters(agent, tools, dirs, both_roles):
    events = EventListener(dirs)
    agent.start()
    ua = UserAgent(dirs)
    ua.set_users_list()

    ua.confirm(True, 0, True, user="alice", password="secret", addr="192.0.2.10", port="5060", host="slave-a")
    agent.wait_trace("MESS:SIP Trunk Agent(MASTER): Incoming ConfirmUserState ...FROM: slave-a  "
                     "alice@192.0.2.10:5060  # rez: Register # error: 0\n")
    events.wait(1)
    slaves = wait_for(lambda: status(tools, dirs)["registered_slaves"], what="stored slave")
    assert [(s["user"], s["address"], s["port"]) for s in slaves] == [("alice", "192.0.2.10", "5060")]

    ua.confirm(True, 0, True, user="alice", password="secret", addr="192.0.2.20", port="5062")
    agent.wait_trace("INFO:SIP Trunk Agent: Change slave address.. \n")
    events.wait(2)
    wait_for(lambda: [s["address"] for s in status(tools, dirs)["registered_slaves"]] == ["192.0.2.20"],
             what="moved slave in the store")

    ua.confirm(False, 0, True, user="alice", password="secret", addr="192.0.2.20", port="5062")
    events.wait(3)
    wait_for(lambda: status(tools, dirs)["registered_slaves"] == [], what="slave gone from the store")
    assert events.events == [
        ("SIPTunnelMaster", "Registration", "Successfully registered user alice(192.0.2.10:5060) on master device "),
        ("SIPTunnelMaster", "Registration", "Successfully registered user alice(192.0.2.20:5062) on master device "),
        ("SIPTunnelMaster", "Registration", "Successfully unregistered user alice(192.0.2.20:5062) from master device "),
    ]
    ua.close()
    events.close()


def test_registered_slaves_come_back_from_the_store_after_a_restart(agent, tools, dirs, both_roles):
    agent.start()
    ua = UserAgent(dirs)
    ua.confirm(True, 0, True, user="alice", password="secret", addr="192.0.2.10", port="5060")
    wait_for(lambda: status(tools, dirs)["registered_slaves"], what="stored slave")
    ua.close()
    assert agent.stop() == -signal.SIGTERM

    agent.start()
    ua = UserAgent(dirs)
    ua.set_users_list()
    ua.set_users_list()
    # The same registration again is only a refresh: no notification, no new row.
    events = EventListener(dirs)
    ua.confirm(True, 0, True, user="alice", password="secret", addr="192.0.2.10", port="5060")
    agent.wait_trace_containing("alice@192.0.2.10:5060  # rez: Register")
    time.sleep(0.3)
    assert events.drain() == []
    assert len(status(tools, dirs)["registered_slaves"]) == 1
    ua.close()
    events.close()


def test_trunk_towards_master_fails_fails_again_changes_code_and_recovers(agent, tools, dirs, both_roles):
    events = EventListener(dirs)
    agent.start()
    ua = UserAgent(dirs)
    ua.set_users_list()
    ua.set_users_list()
    bob = dict(user="bob", addr="192.0.2.1", port="5060")
    ua.confirm(False, 7, False, **bob)
    ua.confirm(False, 7, False, **bob)
    ua.confirm(False, 10, False, **bob)
    ua.confirm(True, 0, False, **bob)
    events.wait(3)
    time.sleep(0.3)
    assert events.drain() == [
        ("SIPTunnelSlave", "Registration failure",
         "Could not register with user bob on server 192.0.2.1:5060 Reason: Temporary Unavailable"),
        ("SIPTunnelSlave", "Registration failure",
         "Could not register with user bob on server 192.0.2.1:5060 Reason: Authorization failure"),
        ("SIPTunnelSlave", "Registration", "Successfully registered with user bob on master device 192.0.2.1:5060"),
    ]
    wait_for(lambda: status(tools, dirs)["trunks_to_master"][0]["registered"], what="trunk marked registered")
    ua.close()
    events.close()


def test_bad_input_on_the_user_agent_link_is_dropped_and_the_agent_lives_on(agent, dirs, both_roles):
    # The link's own refusals (before HELLO, another version, a second user
    # agent) are tests/platform/ua_link_test.cpp's; here the daemon lives on.
    agent.start()
    ua = UserAgent(dirs)
    ua.set_users_list()
    # Every kind of malformed packet is ua_link_test's and the fuzz target's; one of each
    # size class here (no final NUL, a bad number, far over the limit).
    for raw in (b"HELLO\x001", pack("CONFIRM_USER_STATE", "1", "-1", "1", *([""] * 11)), b"\0" * 70000):
        with contextlib.suppress(OSError):
            ua.send_raw(raw)
    time.sleep(0.5)
    assert agent.running()
    # The connection still works: a registration goes through.
    ua.confirm(True, 0, True, user="alice", password="secret", addr="192.0.2.10", port="5060")
    agent.wait_trace_containing("alice@192.0.2.10:5060  # rez: Register")
    ua.close()
    assert agent.stop() == -signal.SIGTERM


def test_a_user_agent_that_vanishes_mid_connection_is_reported_once(agent, dirs, both_roles):
    agent.start()
    ua = UserAgent(dirs)
    ua.set_users_list()
    ua.sock.shutdown(socket.SHUT_RDWR)
    ua.close()
    agent.wait_trace("INFO:SIP Trunk Agent: SIP user agent disconnected ...\n")
    time.sleep(0.5)
    assert agent.trace_lines().count("INFO:SIP Trunk Agent: SIP user agent disconnected ...\n") == 1


def test_the_connecting_peer_is_traced_beside_the_connection_line(agent, dirs):
    agent.start()
    ua = UserAgent(dirs)
    agent.wait_trace(CONNECTED)
    lines = agent.trace_lines()
    peer = "INFO: user-agent link: the user agent connected as uid %d, pid %d\n" % (os.getuid(), os.getpid())
    assert lines.index(peer) + 1 == lines.index("INFO:SIP Trunk Agent: SIP user agent connected ...\n")
    ua.close()
