"""The real agent (its own directories, as in tests/system), the real siptrunk-ua, SIPp and Kamailio, on loopback."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "system"))

from agentharness import AgentDirs, AgentProcess, BuildTools  # noqa: E402
from uaharness import UaProcess  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--build-dir", default=os.environ.get("SIPTRUNK_BUILD_DIR", os.path.join(
        os.path.dirname(__file__), "..", "..", "build")), help="CMake build directory with the binaries")


@pytest.fixture(scope="session")
def tools(pytestconfig):
    built = BuildTools(os.path.abspath(pytestconfig.getoption("--build-dir")))
    if not os.path.exists(built.path("siptrunk-ua")):
        pytest.skip("siptrunk-ua was not built (sofia-sip-ua missing at configure time)")
    return built


@pytest.fixture
def dirs(tmp_path_factory):
    return AgentDirs(tmp_path_factory.mktemp("i"))  # short: a Unix socket name holds at most 108 bytes


@pytest.fixture
def agent(tools, dirs):
    process = AgentProcess(tools, dirs)
    yield process
    process.kill_if_running()


@pytest.fixture
def ua(tools, dirs):  # ua(*args) starts a siptrunk-ua; each must end on SIGTERM with exit 0 afterwards
    processes = []
    yield lambda *args: processes.append(UaProcess(tools, dirs, list(args)).start()) or processes[-1]
    for process in processes:
        process.stop()
