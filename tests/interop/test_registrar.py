"""The master list: SIPp as a slave device registering on siptrunk-ua's
registrar, checked in the agent's store, its notifications and the UA's
confirmations."""
import pytest

from agentharness import EventListener, ctl, store_edit
from uaharness import (ctl_with_password, free_port, have, registered_slaves, sipp_register, wait_until)

pytestmark = pytest.mark.skipif(not have("sipp"), reason="sipp (Debian sip-tester) is not installed")


@pytest.fixture
def registrar(tools, dirs, agent, ua):
    store_edit(tools, dirs, "roles", "master", "on")
    ctl_with_password(tools, dirs, "trunk", "add", "trunk1", "alice", "secret")
    events = EventListener(dirs)
    agent.start()
    port = free_port()
    process = ua("--listen", "127.0.0.1:%d" % port, "--transport", "udp", "--min-expires", "2")
    process.wait_log("UA: master list: 1 accounts, active")
    yield "127.0.0.1:%d" % port, process, events
    events.close()


def test_slave_registers_refreshes_and_ends(tmp_path, tools, dirs, registrar):
    target, process, events = registrar
    port = free_port()
    here = ("alice", "127.0.0.1", str(port))
    confirmed = 'confirm master "alice" registered=1 error=0 127.0.0.1:%d (slave7)' % port

    assert sipp_register(str(tmp_path), target, port, "alice", "secret")
    wait_until(lambda: registered_slaves(tools, dirs) == [here], "alice in the store")
    process.wait_log(confirmed)
    assert any(e[1] == "Registration" and "alice" in e[2] for e in events.wait(1))

    assert sipp_register(str(tmp_path), target, port, "alice", "secret")  # refresh
    process.wait_log(confirmed, count=2)
    assert sipp_register(str(tmp_path), target, port, "alice", "wrong", expect=403)
    assert sipp_register(str(tmp_path), target, port, "bob", "secret", expect=404) is False  # 404 before any 401
    assert sipp_register(str(tmp_path), target, port, "alice", "secret", expires=1, expect=423)
    assert process.log().count("confirm master") == 2
    assert registered_slaves(tools, dirs) == [here]

    assert sipp_register(str(tmp_path), target, port, "alice", "secret", expires=0)
    wait_until(lambda: registered_slaves(tools, dirs) == [], "alice gone from the store")
    process.wait_log('confirm master "alice" registered=0')

    assert sipp_register(str(tmp_path), target, port, "alice", "secret", expires=2)  # left to expire
    wait_until(lambda: registered_slaves(tools, dirs) == [here], "alice back")
    wait_until(lambda: registered_slaves(tools, dirs) == [], "the binding expired")
    process.wait_log('confirm master "alice" registered=0', count=2)


def test_withdrawn_account_loses_its_binding(tmp_path, tools, dirs, registrar):
    target, process, _ = registrar
    port = free_port()
    assert sipp_register(str(tmp_path), target, port, "alice", "secret")
    process.wait_log('confirm master "alice" registered=1')
    ctl(tools, dirs, "trunk", "delete", "trunk1")
    process.wait_log('confirm master "alice" registered=0')
    assert sipp_register(str(tmp_path), target, port, "alice", "secret", expect=401) is False


def test_binding_outlives_the_agent(tmp_path, tools, dirs, agent, registrar):
    """The agent restarts: the UA reconnects, asks for the lists and confirms
    the binding that still holds."""
    target, process, _ = registrar
    port = free_port()
    assert sipp_register(str(tmp_path), target, port, "alice", "secret")
    process.wait_log('confirm master "alice" registered=1')
    agent.stop()
    agent.start()
    process.wait_log("UA: connected to the agent", count=2)
    process.wait_log('confirm master "alice" registered=1', count=2)
    wait_until(lambda: registered_slaves(tools, dirs) == [("alice", "127.0.0.1", str(port))], "alice in the store")
