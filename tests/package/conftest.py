"""The package tests' scratch root: this machine's root seen through overlays in a private mount and network
namespace held by one process; every command runs in it through nsenter, and nothing outside the overlays' upper
directories, the host's network or its nftables ruleset changes."""
import contextlib
import os
import signal
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "system"))
from agentharness import wait_for  # noqa: E402

OVERLAID = ("/etc", "/usr", "/var")


def pytest_addoption(parser):
    parser.addoption("--deb", default=os.environ.get("SIPTRUNK_DEB", ""), help="the .deb to install (make deb)")
    parser.addoption("--build-dir", default=os.path.join(os.path.dirname(__file__), "..", "..", "build"),
                     help="CMake build directory (siptrunk-uasim)")


class ScratchRoot:
    def __init__(self, work):
        self.work, self.mnt_ns = work, None
        self.holder = subprocess.Popen(["unshare", "--mount", "--net", "--propagation", "private", "--", "sleep",
                                        "infinity"], stdin=subprocess.DEVNULL)

    def set_up(self):
        wait_for(lambda: os.readlink("/proc/%d/ns/mnt" % self.holder.pid) != os.readlink("/proc/self/ns/mnt"),
                 what="the private mount namespace")
        self.mnt_ns = os.readlink("/proc/%d/ns/mnt" % self.holder.pid)
        setup = ["set -e", "mount -t tmpfs -o mode=0755 tmpfs /run", "ip link set lo up",  # eth0: the LAN
                 "ip link add eth0 type veth peer name eth0-peer", "ip addr add 192.0.2.1/24 dev eth0",
                 "ip link set eth0 up", "ip link set eth0-peer up"]
        for d in OVERLAID:
            upper, lower_work = self.upper(d), os.path.join(self.work, "work", d.strip("/"))
            os.makedirs(upper), os.makedirs(lower_work)
            setup.append("mount -t overlay overlay -o lowerdir=%s,upperdir=%s,workdir=%s %s"
                         % (d, upper, lower_work, d))
        # Installing starts no service: the tests start them themselves.
        setup.append("printf '#!/bin/sh\\nexit 101\\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d")
        self.run("sh", "-c", "\n".join(setup))

    def upper(self, d):
        return os.path.join(self.work, "upper", d.strip("/"))

    def path(self, p):  # seen from outside, through the holder's root
        return "/proc/%d/root%s" % (self.holder.pid, p)

    def command(self, args):
        return ["nsenter", "-t", str(self.holder.pid), "-m", "-n", "--"] + list(args)

    def run(self, *args, check=True):
        done = subprocess.run(self.command(args), stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
        assert not check or done.returncode == 0, (args, done.returncode, done.stdout, done.stderr)
        return done

    def popen(self, args, **kw):
        return subprocess.Popen(self.command(args), stdin=subprocess.DEVNULL, **kw)

    def processes(self):  # in the namespace besides the holder (services it started)
        def in_namespace(pid):
            with contextlib.suppress(OSError):
                return pid != self.holder.pid and os.readlink("/proc/%d/ns/mnt" % pid) == self.mnt_ns
        return [int(e) for e in os.listdir("/proc") if e.isdigit() and in_namespace(int(e))]

    def close(self):
        for pid in self.processes():
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        self.holder.kill()
        self.holder.wait()
        with contextlib.suppress(AssertionError):
            wait_for(lambda: not self.processes(), 5)


@pytest.fixture(scope="module")
def deb(pytestconfig):
    path = pytestconfig.getoption("--deb")
    if not path or not os.path.isfile(path):
        pytest.skip("no package: build it with `make deb` and pass --deb=FILE")
    return os.path.abspath(path)


@pytest.fixture(scope="module")
def uasim(pytestconfig):
    path = os.path.join(os.path.abspath(pytestconfig.getoption("--build-dir")), "siptrunk-uasim")
    if not os.access(path, os.X_OK):
        pytest.skip("no %s: build first (make build)" % path)
    return path


@pytest.fixture(scope="module")
def root(tmp_path_factory, deb):
    if os.geteuid() != 0:
        pytest.skip("installing into a scratch root needs root (mount namespace, overlays, dpkg)")
    scratch = ScratchRoot(str(tmp_path_factory.mktemp("scratch-root")))
    try:
        scratch.set_up()
        yield scratch
    finally:
        scratch.close()
