"""The LAN-traffic regulator in a network namespace of the test's (lan_namespace: eth0 192.0.2.0/24, wan0
198.51.100.0/24), the kernel's nftables set read back with nft. No traffic leaves the namespace."""
import subprocess

import pytest

from agentharness import IS_ROOT, UserAgent, admitted, store_edit, wait_for

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root to create a network namespace and nftables set")


@pytest.fixture(autouse=True)
def master(tools, dirs):
    if tools.emulated:
        pytest.skip("the emulated agent has no regulator: qemu-user cannot open a NETLINK_NETFILTER socket")
    store_edit(tools, dirs, "roles", "master", "on")
    store_edit(tools, dirs, "trunk", "add", "trunk1", "alice", password="secret")


def nft(namespace, *args):
    subprocess.run(["ip", "netns", "exec", namespace, "nft"] + list(args), check=True)


def confirm(ua, address, registered=True, port="5060", password="secret"):
    ua.confirm(registered, 0, True, user="alice", password=password, addr=address, port=port)


# Moves, unregistrations, flushed rulesets (back at the next refresh) at random: test_model.py, which checks the set at
# every quiet point.
def test_the_set_follows_shared_addresses_refreshes_restarts_and_activation(agent, tools, dirs, lan_namespace):
    agent.start(netns=lan_namespace)
    ua = UserAgent(dirs)
    # Two registrations from one address (two ports): it stays while either is there.
    for address, port, registered in (("192.0.2.10", "5060", True), ("192.0.2.10", "5062", True),
                                      ("192.0.2.12", "5060", True), ("198.51.100.20", "5060", True),
                                      ("192.0.2.10", "5060", False)):
        confirm(ua, address, registered, port, password="pw-%s-%s" % (address, port))  # no moves
    agent.wait_trace_containing("alice@192.0.2.10:5060  # rez: UnRegister")
    assert admitted(lan_namespace) == ["192.0.2.10", "192.0.2.12"]
    ua.close()
    agent.stop()

    # After a restart the set holds the registered eth0 slaves (a stray element goes), once the role is switched on.
    nft(lan_namespace, "add", "element", "inet", "siptrunk", "lan_slaves", "{ 192.0.2.99 }")
    store_edit(tools, dirs, "roles", "master", "off")
    agent.start(netns=lan_namespace)
    ua = UserAgent(dirs)
    wait_for(lambda: admitted(lan_namespace) == [], what="the set emptied at start")
    agent.send_update("0")
    wait_for(lambda: admitted(lan_namespace) == ["192.0.2.10", "192.0.2.12"], what="admission at activation")
    ua.close()
