"""Two devices end to end, each its own agent and siptrunk-ua in its own
network namespace (twodevices.py, shared with `make demo`): the slave
registers over SIP, the master records, announces and admits it, lets its
media through and not the intruder's; the master's UA dies and comes back
(failure and recovery announced by the slave); the slave withdraws its trunk
(unregistration announced, address gone from lan_slaves)."""
import pytest

from agentharness import IS_ROOT
from twodevices import scenario

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for network namespaces and nftables")


def test_two_devices_end_to_end(tools):
    if tools.emulated:
        pytest.skip("the emulated agent has no regulator: qemu-user cannot open a NETLINK_NETFILTER socket")
    steps = []
    scenario(tools, say=steps.append)
    assert steps[-1] == "   done: 192.0.2.2 left lan_slaves"
