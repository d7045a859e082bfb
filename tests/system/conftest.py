"""System-test harness: the real siptrunk-agent and tools, in temporary
RUNTIME_DIRECTORY / STATE_DIRECTORY / LOGS_DIRECTORY, driven over their real
sockets. When the tests run as root, every agent runs in a private network
namespace (its regulator never touches the host's nftables)."""
import os
import pytest

import agentharness
from agentharness import AgentDirs, AgentProcess, BuildTools


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes a minute or more; the sanitizer and target runs leave it out")


def pytest_addoption(parser):
    parser.addoption("--build-dir", default=os.environ.get("SIPTRUNK_BUILD_DIR", os.path.join(
        os.path.dirname(__file__), "..", "..", "build")), help="CMake build directory with the binaries")
    parser.addoption("--agent-runner", default=os.environ.get("SIPTRUNK_AGENT_RUNNER", ""),
                     help="command prefix for the agent (e.g. qemu-ppc) and its build dir, 'PREFIX@DIR'")


@pytest.fixture(scope="session")
def tools(pytestconfig):
    build = os.path.abspath(pytestconfig.getoption("--build-dir"))
    runner = pytestconfig.getoption("--agent-runner")
    built = BuildTools(build, runner)
    agentharness.EMULATED_AGENT = built.emulated
    return built


@pytest.fixture
def dirs(tmp_path):
    return AgentDirs(tmp_path)


@pytest.fixture
def agent(tools, dirs):
    """An agent not yet started; stopped (and checked for leftovers) afterwards."""
    process = AgentProcess(tools, dirs)
    yield process
    process.kill_if_running()
