"""The Debian package in a scratch root (conftest.py), in file order: install, the daemons by their sysvinit scripts
(Debian's and busybox's start-stop-daemon), remove and purge. The units: check_units.sh."""
import contextlib
import os
import re
import shutil
import stat
import subprocess

import pytest

from agentharness import CONNECTED, STOPPED, trace_text, wait_for

WAITING = "INFO: Waiting for SIP user agent ...\n"
CAP_NET_ADMIN = 1 << 12
TIMEOUT = 30  # seconds; the machine running the tests may be busy
TRACE_LOG = "/var/log/siptrunk/siptrunk-agent.log"


def installed(root):  # the package's files (not directories) as dpkg lists them
    return [p for p in root.run("dpkg", "-L", "siptrunk-agent").stdout.split()
            if os.path.lexists(root.path(p)) and not os.path.isdir(root.path(p))]


def read_trace(root):
    with contextlib.suppress(FileNotFoundError), open(root.path(TRACE_LOG), errors="replace") as f:
        return [trace_text(line) for line in f]
    return []


def wait_trace(root, text, count=1):
    wait_for(lambda: read_trace(root).count(text) >= count, TIMEOUT, "%d x %r" % (count, text))


def proc_status(pid):
    with open("/proc/%d/status" % pid) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f)


def privileges(root, daemon):  # pid, runs as siptrunk (every uid), capability sets, no-new-privileges
    with open(root.path("/run/siptrunk/%s.pid" % daemon)) as f:
        pid = int(f.read())
    st = proc_status(pid)
    as_siptrunk = st["Uid"].split() == [root.run("id", "-u", "siptrunk").stdout.strip()] * 4
    return pid, as_siptrunk, [int(st[f], 16) for f in ("CapEff", "CapPrm", "CapBnd", "CapAmb")], st["NoNewPrivs"]


def mode_and_owner(root, path):
    return root.run("stat", "-c", "%a %U:%G", path).stdout.split()


def exercise_agent(root, uasim):  # a slave registering from the LAN (eth0) is admitted: CAP_NET_ADMIN works
    ctl = ["runuser", "-u", "siptrunk", "--", "/usr/sbin/siptrunkctl"]
    fifo = "/run/siptrunk/uasim.ctl"
    sim = root.popen([uasim, "--socket", "/run/siptrunk/ua.sock", "--stay", "--control", fifo],
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_trace(root, CONNECTED)
        admitted = lambda: root.run("nft", "list", "set", "inet", "siptrunk", "lan_slaves").stdout  # noqa: E731
        assert "192.0.2.10" not in admitted()
        root.run(*ctl, "roles", "master", "on")
        assert subprocess.run(root.command(ctl + ["trunk", "add", "trunk1", "alice", "--password-stdin"]),
                              input="secret\n", capture_output=True, text=True, timeout=60).returncode == 0
        wait_for(lambda: os.path.exists(root.path(fifo)), TIMEOUT, "the simulator's control FIFO")
        root.run("sh", "-c", "echo 'confirm master alice secret 192.0.2.10 5060 1 0' > " + fifo)
        wait_for(lambda: "192.0.2.10" in admitted(), TIMEOUT, "192.0.2.10 in lan_slaves")
    finally:
        sim.kill()
        sim.wait()
        root.run("rm", "-f", fifo)


def test_install_puts_files_user_and_links_in_place(root, deb):
    root.run("dpkg", "-i", deb)
    files = installed(root)
    for d in [d for d in ("siptrunk-agent", "siptrunk-ua") if "/usr/sbin/" + d in files]:
        assert {"/usr/sbin/" + d, "/etc/init.d/" + d, "/lib/systemd/system/%s.service" % d} <= set(files), d
        assert os.path.islink(root.path("/etc/systemd/system/multi-user.target.wants/%s.service" % d))
    for path in files:  # root's, programs and scripts executable, the rest read-only
        st = os.lstat(root.path(path))
        assert (stat.S_IMODE(st.st_mode), st.st_uid) == (0o755 if "bin/" in path or "init.d" in path else 0o644, 0), path
    assert root.run("getent", "passwd", "siptrunk").stdout.strip().split(":")[5:] == ["/var/lib/siptrunk",
                                                                                   "/usr/sbin/nologin"]
    assert len([n for n in os.listdir(root.path("/etc/rc2.d")) if re.fullmatch("S..siptrunk-agent", n)]) == 1
    assert not root.processes()  # nothing started (policy-rc.d), no directory made before a start
    assert not os.path.exists(root.path("/var/lib/siptrunk"))


@pytest.mark.parametrize("shell", ["debian", "busybox"])
def test_sysvinit_script_runs_the_agent_as_the_service_user(root, uasim, shell):
    """Debian's start-stop-daemon, then the device's way: busybox's shell and start-stop-daemon (no --retry, no
    --startas), bound over Debian's."""
    script = ["/etc/init.d/siptrunk-agent"]
    if shell == "busybox":
        if shutil.which("busybox") is None:
            pytest.skip("busybox is missing (Debian package busybox)")
        root.run("mount", "--bind", shutil.which("busybox"), "/usr/sbin/start-stop-daemon")
        script = ["busybox", "sh"] + script
    try:
        before = read_trace(root).count(WAITING)
        root.run(*script, "start")
        wait_trace(root, WAITING, before + 1)
        pid, as_siptrunk, caps, no_new_privs = privileges(root, "siptrunk-agent")
        assert (as_siptrunk, caps, no_new_privs) == (True, [CAP_NET_ADMIN] * 4, "1")
        if shell == "debian":
            for path in ("/run/siptrunk", "/var/lib/siptrunk", "/var/log/siptrunk"):
                assert mode_and_owner(root, path) == ["750", "siptrunk:siptrunk"], path
            assert mode_and_owner(root, TRACE_LOG) == ["600", "siptrunk:siptrunk"]
            root.run(*script, "start")  # already running: nothing more
            assert [proc_status(p)["Name"] for p in root.processes()].count("siptrunk-agent") == 1
            exercise_agent(root, uasim)
            assert mode_and_owner(root, "/var/lib/siptrunk/siptrunk.db")[1] == "siptrunk:siptrunk"
        root.run(*script, "stop")
        assert not os.path.exists("/proc/%d" % pid) and read_trace(root)[-1] == STOPPED
        if shell == "debian":
            assert not os.path.exists(root.path("/run/siptrunk/siptrunk-agent.pid"))
            assert root.run(*script, "status", check=False).returncode == 3
    finally:
        if shell == "busybox":
            root.run("umount", "/usr/sbin/start-stop-daemon")


def test_user_agent_by_its_script_without_any_capability(root):
    if not os.path.exists(root.path("/usr/sbin/siptrunk-ua")):
        pytest.skip("the package holds no siptrunk-ua")
    before = read_trace(root).count(CONNECTED)
    try:
        root.run("/etc/init.d/siptrunk-agent", "start")
        root.run("/etc/init.d/siptrunk-ua", "start")
        wait_trace(root, CONNECTED, before + 1)
        assert privileges(root, "siptrunk-ua")[1:3] == (True, [0] * 4)
        assert os.path.exists(root.path("/var/log/siptrunk/siptrunk-ua.log"))
    finally:
        root.run("/etc/init.d/siptrunk-ua", "stop")
        root.run("/etc/init.d/siptrunk-agent", "stop")
    assert root.processes() == []


def test_remove_keeps_the_store_and_purge_removes_it(root):
    files = [p for p in installed(root) if not p.startswith("/etc/")]
    root.run("dpkg", "-r", "siptrunk-agent")
    assert [p for p in files if os.path.lexists(root.path(p))] == []
    assert os.path.exists(root.path("/var/lib/siptrunk/siptrunk.db"))
    root.run("dpkg", "-P", "siptrunk-agent")
    assert [n for top in ("etc", "usr", "var") for _, ds, fs in os.walk(root.upper(top))
            for n in ds + fs if "siptrunk" in n] == []
    assert root.run("getent", "passwd", "siptrunk").returncode == 0  # the user stays, as Debian's do
