"""SIPp as a slave device registering on siptrunk-ua's registrar, checked in the agent's store, its notifications
and the UA's confirmations."""
import functools
import time

import pytest

from agentharness import ctl, store_edit
from uaharness import ctl_with_password, free_port, have, registered_slaves, sipp_register, ua_view, wait_until

pytestmark = pytest.mark.skipif(not have("sipp"), reason="sipp (Debian sip-tester) is not installed")


@pytest.fixture
def registrar(tmp_path, tools, dirs, agent, ua):
    store_edit(tools, dirs, "roles", "master", "on")
    ctl_with_password(tools, dirs, "trunk", "add", "trunk1", "alice", "secret")
    ctl_with_password(tools, dirs, "trunk", "add", "trunk2", "carol", "secret")
    port = free_port()
    agent.start()
    process = ua("--listen", "127.0.0.1:%d" % port, "--transport", "udp", "--min-expires", "2")
    process.wait_log("UA: master list: 2 accounts, active")
    return functools.partial(sipp_register, str(tmp_path), "127.0.0.1:%d" % port), process


def test_slave_registers_refreshes_and_ends(tools, dirs, registrar):
    (register, process), port = registrar, free_port()
    here = ("alice", "127.0.0.1", str(port))
    confirmed = 'confirm master "alice" registered=1 error=0 127.0.0.1:%d (slave7)' % port
    assert register(port, "alice", "secret")
    wait_until(lambda: registered_slaves(tools, dirs) == [here], "alice in the store")
    process.wait_log(confirmed)  # the agent's notifications: twodevices.py, test_model.py

    assert register(port, "alice", "secret")  # refresh
    process.wait_log(confirmed, count=2)
    assert process.log().count("confirm master") == 2  # refusals (403, 404, 423): tests/ua/ua_logic_test.cpp
    assert registered_slaves(tools, dirs) == [here]

    assert register(port, "alice", "secret", expires=0)
    wait_until(lambda: registered_slaves(tools, dirs) == [], "alice gone from the store")
    process.wait_log('confirm master "alice" registered=0')
    assert register(port, "alice", "secret", expires=2)  # left to expire
    wait_until(lambda: registered_slaves(tools, dirs) == [here], "alice back")
    wait_until(lambda: registered_slaves(tools, dirs) == [], "the binding expired")
    process.wait_log('confirm master "alice" registered=0', count=2)


@pytest.mark.parametrize("then", ["withdrawn", "agent restarted"])
def test_binding_withdrawn_or_outliving_the_agent(tools, dirs, agent, registrar, then):
    """After an agent restart the UA reconnects, asks for the lists and confirms the binding that still holds."""
    (register, process), port = registrar, free_port()
    assert register(port, "alice", "secret")
    process.wait_log('confirm master "alice" registered=1')
    if then == "withdrawn":
        ctl(tools, dirs, "trunk", "delete", "trunk1")
        process.wait_log('confirm master "alice" registered=0')
        assert register(port, "alice", "secret", expect=401) is False
        return
    agent.stop()
    agent.start()
    process.wait_log("UA: connected to the agent", count=2)
    process.wait_log('confirm master "alice" registered=1', count=2)
    wait_until(lambda: registered_slaves(tools, dirs) == [("alice", "127.0.0.1", str(port))], "alice in the store")


def test_bindings_outlive_a_power_cut(tools, dirs, agent, registrar):
    """Agent and UA killed with two slaves registered, back after alice's binding ended: alice is confirmed
    gone and leaves the store, carol is confirmed again and stays. The UA's view shows what it answered."""
    (register, process), ports = registrar, (free_port(), free_port())
    assert register(ports[0], "alice", "secret", expires=3)
    assert register(ports[1], "carol", "secret", device="slave8", expires=60)
    carol = ("carol", "127.0.0.1", str(ports[1]))
    wait_until(lambda: len(registered_slaves(tools, dirs)) == 2, "both slaves in the store")
    seen = {s["user"]: s for s in wait_until(lambda: len(ua_view(tools, dirs)["slaves"]) == 2 and
                                             ua_view(tools, dirs)["slaves"], "the UA's view of both")}
    c = seen["carol"]
    assert [c["code"], c["device"], c["address"], c["port"]] == [200, "slave8", *carol[1:]]
    assert abs(c["expires"] - (time.time() + 60)) <= 3 and seen["alice"]["expires"] < c["expires"] - 50

    process.kill()
    agent.kill_if_running()
    time.sleep(3.5)  # alice's binding ends while both are down
    agent.start()
    process.start()
    wait_until(lambda: registered_slaves(tools, dirs) == [carol], "alice gone, carol kept")
    process.wait_log('confirm master "alice" registered=0')
    process.wait_log('confirm master "carol" registered=1', count=2)
    wait_until(lambda: [s["user"] for s in ua_view(tools, dirs)["slaves"]] == ["carol"], "the UA's view: carol")
    assert abs(ua_view(tools, dirs)["slaves"][0]["expires"] - seen["carol"]["expires"]) <= 1
