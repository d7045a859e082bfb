"""The real siptrunk-agent and tools in temporary RUNTIME/STATE/LOGS_DIRECTORY, driven over their real sockets. As
root, every agent runs in a private network namespace (its regulator never touches the host's nftables)."""
import os
import subprocess
import uuid

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
    built = BuildTools(os.path.abspath(pytestconfig.getoption("--build-dir")), pytestconfig.getoption("--agent-runner"))
    agentharness.EMULATED_AGENT = built.emulated
    return built


@pytest.fixture
def dirs(tmp_path):
    return AgentDirs(tmp_path)


@pytest.fixture
def agent(tools, dirs):
    process = AgentProcess(tools, dirs)
    yield process
    process.kill_if_running()


@pytest.fixture
def lan_namespace():
    """A network namespace with veth links eth0 (192.0.2.1/24) and wan0 (198.51.100.1/24)."""
    name = "siptrunk-test-" + uuid.uuid4().hex[:8]
    subprocess.run(["ip", "netns", "add", name], check=True)
    ip = lambda *args: subprocess.run(["ip", "-n", name] + list(args), check=True)  # noqa: E731
    ip("link", "set", "lo", "up")
    for link, address in (("eth0", "192.0.2.1/24"), ("wan0", "198.51.100.1/24")):
        ip("link", "add", link, "type", "veth", "peer", "name", link + "-peer")
        ip("addr", "add", address, "dev", link)
        for end in (link, link + "-peer"):
            ip("link", "set", end, "up")
    yield name
    subprocess.run(["ip", "netns", "del", name], check=False)
