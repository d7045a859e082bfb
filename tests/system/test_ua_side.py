"""The user-agent side over the real link, store and event channel: lists pushed on connection, slaves registering,
moving, unregistering and coming back after a restart, trunks towards a master failing and recovering, bad input."""
import contextlib
import socket

import pytest

from agentharness import CONNECTED, DISCONNECTED, EventListener, UserAgent, pack, status, store_edit, wait_for


@pytest.fixture
def both_roles(tools, dirs):
    store_edit(tools, dirs, "roles", "master", "on")
    store_edit(tools, dirs, "roles", "slave", "on")
    store_edit(tools, dirs, "trunk", "add", "trunk1", "alice", password="secret")
    store_edit(tools, dirs, "trunk", "add", "trunk2", "carol", "--symmetric-nat", password="secret3")
    store_edit(tools, dirs, "master", "add", "uplink", "bob", "192.0.2.1", "5060", "--enable", password="secret2")


def test_each_connection_pushes_master_lists_first_then_the_slave_list_and_bad_input_is_dropped(agent, dirs,
                                                                                                 both_roles):
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


def test_slaves_and_trunks_towards_a_master_through_store_and_notifications(agent, tools, dirs, both_roles):
    events = EventListener(dirs)
    agent.start()
    ua = UserAgent(dirs)
    alice = dict(user="alice", password="secret")
    stored = lambda: [(s["user"], s["address"], s["port"]) for s in status(tools, dirs)["registered_slaves"]]  # noqa
    for registered, address, port in ((True, "192.0.2.10", "5060"), (True, "192.0.2.20", "5062"),
                                      (False, "192.0.2.20", "5062")):  # registers, moves, leaves
        ua.confirm(registered, 0, True, addr=address, port=port, **alice)
        wait_for(lambda: stored() == ([("alice", address, port)] if registered else []), what="the store")
    bob = dict(user="bob", addr="192.0.2.1", port="5060")
    for registered, error in ((False, 7), (False, 7), (False, 10), (True, 0)):  # a repeated code is told once
        ua.confirm(registered, error, False, **bob)
    wait_for(lambda: status(tools, dirs)["trunks_to_master"][0]["registered"], what="trunk marked registered")
    master, slave = "SIPTunnelMaster", "SIPTunnelSlave"
    assert events.wait(6) == [
        (master, "Registration", "Successfully registered user alice(192.0.2.10:5060) on master device "),
        (master, "Registration", "Successfully registered user alice(192.0.2.20:5062) on master device "),
        (master, "Registration", "Successfully unregistered user alice(192.0.2.20:5062) from master device "),
        (slave, "Registration failure",
         "Could not register with user bob on server 192.0.2.1:5060 Reason: Temporary Unavailable"),
        (slave, "Registration failure",
         "Could not register with user bob on server 192.0.2.1:5060 Reason: Authorization failure"),
        (slave, "Registration", "Successfully registered with user bob on master device 192.0.2.1:5060")]

    # A registration comes back from the store after a restart; the same one again is a refresh: no notification.
    ua.confirm(True, 0, True, addr="192.0.2.10", port="5060", **alice)
    events.wait(7)
    ua.close()
    agent.stop_cleanly()
    agent.start()
    ua = UserAgent(dirs)
    ua.confirm(True, 0, True, addr="192.0.2.10", port="5060", **alice)
    agent.wait_trace_containing("alice@192.0.2.10:5060  # rez: Register")
    agent.handled_update()
    assert len(events.drain()) == 7 and len(stored()) == 1
    ua.close()
    events.close()
