"""Two devices (twodevices.py, shared with `make demo`): registration, record, notification and admission;
media of the slave through, the intruder's not; the master's UA dies and comes back; the trunk withdrawn; a power cut
after which the binding that ended meanwhile is confirmed gone and its address leaves the set."""
import pytest

from agentharness import IS_ROOT
from twodevices import scenario

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for network namespaces and nftables")


def test_two_devices_end_to_end(tools):
    steps = []
    scenario(tools, say=steps.append)
    assert steps[-1].startswith("   done: the binding that ended during the cut is confirmed gone")
