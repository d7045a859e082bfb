"""The LAN-traffic regulator for real: a network namespace made by the test
with veth interfaces eth0 (192.0.2.0/24) and wan0 (198.51.100.0/24), the agent
inside it, and the kernel's nftables set read back with the nft program.
No traffic leaves the namespace."""
import json
import subprocess
import uuid

import pytest

from agentharness import IS_ROOT, UserAgent, store_edit, wait_for

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root to create a network namespace and nftables set")


@pytest.fixture(autouse=True)
def netfilter_available(tools):
    if tools.emulated:
        pytest.skip("the emulated agent has no regulator: qemu-user cannot open a NETLINK_NETFILTER socket")


@pytest.fixture
def lan_namespace():
    name = "siptrunk-test-" + uuid.uuid4().hex[:8]
    subprocess.run(["ip", "netns", "add", name], check=True)

    def ip(*args):
        subprocess.run(["ip", "-n", name] + list(args), check=True)

    ip("link", "set", "lo", "up")
    ip("link", "add", "eth0", "type", "veth", "peer", "name", "eth0-peer")
    ip("link", "add", "wan0", "type", "veth", "peer", "name", "wan0-peer")
    ip("addr", "add", "192.0.2.1/24", "dev", "eth0")
    ip("addr", "add", "198.51.100.1/24", "dev", "wan0")
    for link in ("eth0", "eth0-peer", "wan0", "wan0-peer"):
        ip("link", "set", link, "up")
    yield name
    subprocess.run(["ip", "netns", "del", name], check=False)


def admitted(namespace):
    out = subprocess.run(["ip", "netns", "exec", namespace, "nft", "-j", "list", "set", "inet", "siptrunk",
                          "lan_slaves"], capture_output=True, text=True)
    if out.returncode != 0:
        return None
    for entry in json.loads(out.stdout)["nftables"]:
        if "set" in entry:
            return sorted(entry["set"].get("elem", []))
    return []


@pytest.fixture
def master(tools, dirs):
    store_edit(tools, dirs, "roles", "master", "on")
    store_edit(tools, dirs, "trunk", "add", "trunk1", "alice", password="secret")


def test_slaves_reached_through_eth0_enter_and_leave_the_set(agent, dirs, master, lan_namespace):
    agent.start(netns=lan_namespace)
    ua = UserAgent(dirs)
    ua.set_users_list()
    assert admitted(lan_namespace) == []

    ua.confirm(True, 0, True, user="alice", password="secret", addr="192.0.2.10", port="5060")
    wait_for(lambda: admitted(lan_namespace) == ["192.0.2.10"], what="192.0.2.10 admitted")

    # A slave reached through wan0 never enters.
    ua.confirm(True, 0, True, user="alice", password="other", addr="198.51.100.20", port="5060")
    agent.wait_trace_containing("alice@198.51.100.20:5060  # rez: Register")

    # A move leaves the old address and admits the new one.
    ua.confirm(True, 0, True, user="alice", password="secret", addr="192.0.2.11", port="5060")
    wait_for(lambda: admitted(lan_namespace) == ["192.0.2.11"], what="move to 192.0.2.11")

    ua.confirm(False, 0, True, user="alice", password="secret", addr="192.0.2.11", port="5060")
    wait_for(lambda: admitted(lan_namespace) == [], what="unregistration")
    assert not [l for l in agent.trace_lines() if "198.51.100.20 to LAN-traffic" in l]
    # A ruleset flushed under the agent is rebuilt at the next admission:
    # tests/platform/net_test.cpp (RegulatorTest).
    ua.close()


def test_after_a_restart_the_set_holds_exactly_the_registered_eth0_slaves(agent, dirs, master, lan_namespace):
    agent.start(netns=lan_namespace)
    ua = UserAgent(dirs)
    ua.set_users_list()
    for address in ("192.0.2.10", "192.0.2.12", "198.51.100.20"):
        ua.confirm(True, 0, True, user="alice", password="pw-" + address, addr=address, port="5060")
    wait_for(lambda: admitted(lan_namespace) == ["192.0.2.10", "192.0.2.12"], what="two LAN slaves")
    ua.close()
    agent.stop()

    # Something else left in the set meanwhile must not survive the restart.
    subprocess.run(["ip", "netns", "exec", lan_namespace, "nft", "add", "element", "inet", "siptrunk",
                    "lan_slaves", "{ 192.0.2.99 }"], check=True)
    agent.start(netns=lan_namespace)
    ua = UserAgent(dirs)
    ua.set_users_list()
    wait_for(lambda: admitted(lan_namespace) == ["192.0.2.10", "192.0.2.12"], what="the registered slaves again")
    ua.close()


def test_a_flushed_ruleset_is_recreated_at_the_next_admission(agent, dirs, master, lan_namespace):
    agent.start(netns=lan_namespace)
    ua = UserAgent(dirs)
    ua.set_users_list()
    ua.confirm(True, 0, True, user="alice", password="secret", addr="192.0.2.10", port="5060")
    wait_for(lambda: admitted(lan_namespace) == ["192.0.2.10"], what="admission")
    subprocess.run(["ip", "netns", "exec", lan_namespace, "nft", "flush", "ruleset"], check=True)
    assert admitted(lan_namespace) is None
    # Removing what is gone fails and is traced; the agent lives on.
    ua.confirm(False, 0, True, user="alice", password="secret", addr="192.0.2.10", port="5060")
    agent.wait_trace("ERROR: Removing Slave 192.0.2.10 from LAN-traffic regulator\n")
    ua.confirm(True, 0, True, user="alice", password="secret", addr="192.0.2.13", port="5060")
    wait_for(lambda: admitted(lan_namespace) == ["192.0.2.13"], what="table and set recreated")
    assert agent.running()
    ua.close()


def test_the_set_follows_shared_addresses_refreshes_and_activation(agent, tools, dirs, master, lan_namespace):
    agent.start(netns=lan_namespace)
    ua = UserAgent(dirs)
    ua.set_users_list()
    # Two registrations from one address (two accounts, two ports): it stays while either is there.
    ua.confirm(True, 0, True, user="alice", password="secret", addr="192.0.2.10", port="5060")
    ua.confirm(True, 0, True, user="alice", password="other", addr="192.0.2.10", port="5062")
    ua.confirm(False, 0, True, user="alice", password="secret", addr="192.0.2.10", port="5060")
    agent.wait_trace_containing("alice@192.0.2.10:5060  # rez: UnRegister")
    assert admitted(lan_namespace) == ["192.0.2.10"]

    # A lost admission (even the table gone) comes back at the next refresh, without a trace line.
    subprocess.run(["ip", "netns", "exec", lan_namespace, "nft", "flush", "ruleset"], check=True)
    adding = len([l for l in agent.trace_lines() if "Adding Slave" in l])
    ua.confirm(True, 0, True, user="alice", password="other", addr="192.0.2.10", port="5062")
    wait_for(lambda: admitted(lan_namespace) == ["192.0.2.10"], what="re-admission at the refresh")
    assert len([l for l in agent.trace_lines() if "Adding Slave" in l]) == adding
    ua.close()
    agent.stop()

    # Stored while the role is off: admitted when the role is switched on.
    store_edit(tools, dirs, "roles", "master", "off")
    agent.start(netns=lan_namespace)
    ua = UserAgent(dirs)
    assert admitted(lan_namespace) == []
    agent.send_update("0")
    wait_for(lambda: admitted(lan_namespace) == ["192.0.2.10"], what="admission at activation")
    ua.close()
