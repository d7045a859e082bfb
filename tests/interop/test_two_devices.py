"""Two devices end to end: the steps of twodevices.py, shared with `make demo`."""
import pytest

from agentharness import IS_ROOT
from twodevices import scenario

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for network namespaces and nftables")


def test_two_devices_end_to_end(tools):
    steps = []
    scenario(tools, say=steps.append)
    assert steps[-1].startswith("   done: the binding that ended during the cut is confirmed gone")
