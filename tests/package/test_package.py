"""The Debian package in a scratch root (conftest.py): what it installs and
with which modes, the service user, the agent started by its sysvinit script
and under the restrictions of its systemd unit, and removal and purge. The
tests run in file order on one scratch root: install, run, remove, purge."""
import os
import shutil
import signal
import stat
import subprocess

import pytest

import seccomp_exec
from agentharness import wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
WAITING = "INFO: Waiting for SIP user agent ...\n"
CONNECTED = "INFO:SIP Trunk Agent: OnSetUsersList: SIP user agent connected ...\n"
STOPPED = "INFO: ----Communication SIP Trunk Agent Stoped -----\n"
CAP_NET_ADMIN = 1 << 12
TIMEOUT = 30  # seconds; the machine running the tests may be busy
TRACE_LOG = "/var/log/siptrunk/siptrunk-agent.log"


def daemons(deb):
    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
    return [d for d in ("siptrunk-agent", "siptrunk-ua") if "./usr/sbin/%s\n" % d in listing]


def expected_files(deb):
    """(path, mode) of every file the package must install; None: a symlink."""
    files = [("/usr/sbin/siptrunkctl", 0o755), ("/usr/share/man/man8/siptrunkctl.8.gz", 0o644),
             ("/usr/lib/sysusers.d/siptrunk.conf", 0o644),
             ("/usr/share/doc/siptrunk-agent/examples/siptrunk.nft", 0o644),
             ("/usr/share/bash-completion/completions/siptrunkctl", 0o644)]
    for d in daemons(deb):
        files += [("/usr/sbin/" + d, 0o755), ("/etc/init.d/" + d, 0o755),
                  ("/lib/systemd/system/%s.service" % d, 0o644),
                  ("/usr/share/man/man8/%s.8.gz" % d, 0o644),
                  ("/etc/systemd/system/multi-user.target.wants/%s.service" % d, None)]
    return files


def read_trace(root):
    try:
        with open(root.path(TRACE_LOG), errors="replace") as f:
            return [line.split(" ", 2)[-1] for line in f]
    except FileNotFoundError:
        return []


def wait_trace(root, text, count=1):
    wait_for(lambda: read_trace(root).count(text) >= count, TIMEOUT, "%d x %r" % (count, text))


def proc_status(pid):
    with open("/proc/%d/status" % pid) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f)


def check_privileges(root, pid):
    """The agent runs as siptrunk with CAP_NET_ADMIN as its only capability."""
    status = proc_status(pid)
    uid = root.run("id", "-u", "siptrunk").stdout.strip()
    assert status["Uid"].split() == [uid] * 4
    for field in ("CapEff", "CapPrm", "CapBnd", "CapAmb"):
        assert int(status[field], 16) == CAP_NET_ADMIN, (field, status[field])
    assert status["NoNewPrivs"] == "1"


def mode_and_owner(root, path):
    st = os.stat(root.path(path))
    return stat.S_IMODE(st.st_mode), root.run("stat", "-c", "%U:%G", path).stdout.strip()


def admitted(root):
    return root.run("nft", "list", "set", "inet", "siptrunk", "lan_slaves").stdout


def exercise_agent(root, uasim):
    """A user agent connects; a slave that registers on a trunk from the LAN
    (eth0) is admitted in the nftables set: netlink and CAP_NET_ADMIN work."""
    ctl = ["runuser", "-u", "siptrunk", "--", "/usr/sbin/siptrunkctl"]
    fifo = "/run/siptrunk/uasim.ctl"
    sim = root.popen([uasim, "--socket", "/run/siptrunk/ua.sock", "--stay", "--control", fifo],
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_trace(root, CONNECTED)
        assert "192.0.2.10" not in admitted(root)
        root.run(*ctl, "roles", "master", "on")
        done = subprocess.run(root.command(ctl + ["trunk", "add", "trunk1", "alice", "--password-stdin"]),
                              input="secret\n", capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        wait_for(lambda: os.path.exists(root.path(fifo)), TIMEOUT, "the simulator's control FIFO")
        root.sh("echo 'confirm master alice secret 192.0.2.10 5060 1 0' > " + fifo)
        wait_for(lambda: "192.0.2.10" in admitted(root), TIMEOUT, "192.0.2.10 in lan_slaves")
    finally:
        sim.kill()
        sim.wait()
        root.run("rm", "-f", fifo)


def test_install_puts_files_user_and_links_in_place(root, deb):
    root.run("dpkg", "-i", deb)
    for path, mode in expected_files(deb):
        st = os.lstat(root.path(path))
        if mode is None:
            assert stat.S_ISLNK(st.st_mode), path
        else:
            assert (stat.S_IMODE(st.st_mode), st.st_uid) == (mode, 0), path
    user = root.run("getent", "passwd", "siptrunk").stdout.strip().split(":")
    assert user[5:] == ["/var/lib/siptrunk", "/usr/sbin/nologin"]
    assert root.run("id", "-gn", "siptrunk").stdout.strip() == "siptrunk"
    assert root.sh("ls /etc/rc2.d/ | grep -c '^S..siptrunk-agent$'").stdout.strip() == "1"
    # Nothing was started (policy-rc.d), and no directory made before a start.
    assert not root.processes()
    assert not os.path.exists(root.path("/var/lib/siptrunk"))


def test_sysvinit_script_runs_the_agent_as_the_service_user(root, uasim):
    script = "/etc/init.d/siptrunk-agent"
    root.run(script, "start")
    wait_trace(root, WAITING)
    for path in ("/run/siptrunk", "/var/lib/siptrunk", "/var/log/siptrunk"):
        assert mode_and_owner(root, path) == (0o750, "siptrunk:siptrunk"), path
    assert mode_and_owner(root, TRACE_LOG) == (0o600, "siptrunk:siptrunk")
    with open(root.path("/run/siptrunk/siptrunk-agent.pid")) as f:
        pid = int(f.read())
    check_privileges(root, pid)
    assert root.run(script, "start").returncode == 0  # already running: nothing more
    assert len([p for p in root.processes() if proc_status(p)["Name"] == "siptrunk-agent"]) == 1
    exercise_agent(root, uasim)
    assert mode_and_owner(root, "/var/lib/siptrunk/siptrunk.db")[1] == "siptrunk:siptrunk"

    root.run(script, "stop")
    assert not os.path.exists("/proc/%d" % pid)
    assert not os.path.exists(root.path("/run/siptrunk/siptrunk-agent.pid"))
    assert read_trace(root)[-1] == STOPPED
    assert root.run(script, "status", check=False).returncode == 3


def test_sysvinit_script_with_busybox(root):
    """The device's way: busybox's shell and start-stop-daemon (no --retry,
    no --startas), bound over Debian's in the scratch root for this test."""
    busybox = shutil.which("busybox")
    if busybox is None:
        pytest.skip("busybox is missing (Debian package busybox)")
    ssd = "/usr/sbin/start-stop-daemon"
    script = ["busybox", "sh", "/etc/init.d/siptrunk-agent"]
    root.run("mount", "--bind", busybox, ssd)
    try:
        before = read_trace(root)
        root.run(*script, "start")
        wait_trace(root, WAITING, before.count(WAITING) + 1)
        with open(root.path("/run/siptrunk/siptrunk-agent.pid")) as f:
            pid = int(f.read())
        check_privileges(root, pid)
        root.run(*script, "stop")
        assert not os.path.exists("/proc/%d" % pid)
        assert read_trace(root)[-1] == STOPPED
    finally:
        root.run("umount", ssd)


def unit_settings(path):
    return seccomp_exec.unit_settings(path)


def sandbox_script(root, unit):
    """A shell script that applies the unit's settings the way systemd does,
    as far as a mount namespace, setpriv and a seccomp filter can: directories,
    ProtectSystem=strict, ProtectHome, PrivateTmp, PrivateDevices, user, group,
    capabilities, NoNewPrivileges, SecureBits, UMask, SystemCallFilter and
    RestrictAddressFamilies. The rest only systemd-analyze checks."""
    s = {key: values[-1] for key, values in unit_settings(root.path(unit)).items()}
    assert (s["ProtectSystem"], s["ProtectHome"], s["PrivateTmp"], s["PrivateDevices"]) == \
        ("strict", "yes", "yes", "yes"), "the emulation below covers these values only"
    user, group = s["User"], s["Group"]
    lines = ["set -e"]
    dirs = []
    for kind, base in (("Runtime", "/run"), ("State", "/var/lib"), ("Logs", "/var/log")):
        path = os.path.join(base, s[kind + "Directory"])
        dirs.append(path)
        lines += ["mkdir -p %s" % path, "chown %s:%s %s" % (user, group, path),
                  "chmod %s %s" % (s[kind + "DirectoryMode"], path),
                  "export %s_DIRECTORY=%s" % (kind.upper(), path)]
    lines += [
        # ProtectSystem=strict: every file system read-only but the API ones.
        "awk '{print $5}' /proc/self/mountinfo | sort -ru | while read -r m; do",
        "  case $m in /proc|/proc/*|/sys|/sys/*|/dev|/dev/*) continue ;; esac",
        "  [ -e \"$m\" ] || continue  # hidden under a later mount (the scratch root's /run)",
        "  mount -o remount,bind,ro \"$m\"",
        "done",
        "for d in /home /root; do if [ -d $d ]; then mount -t tmpfs -o mode=000 tmpfs $d; fi; done",  # ProtectHome
        "mount -t tmpfs tmpfs /tmp",  # PrivateTmp
        "mount -t tmpfs tmpfs /var/tmp",
        # PrivateDevices: a /dev with the pseudo devices only.
        "mkdir /tmp/.olddev",
        "mount --rbind /dev /tmp/.olddev",
        "mount -t tmpfs -o mode=755 tmpfs /dev",
        "for n in null zero full random urandom tty; do touch /dev/$n; mount --bind /tmp/.olddev/$n /dev/$n; done",
        "mkdir /dev/shm",
        "ln -s /run/systemd/journal/dev-log /dev/log",
        "umount -l /tmp/.olddev",
        "rmdir /tmp/.olddev",
    ]
    for d in dirs:  # a bind mount starts with its source's flags: read-only here
        lines += ["mount --bind %s %s" % (d, d), "mount -o remount,bind,rw %s" % d]
    caps = lambda v: ",".join("+" + c.lower()[4:] for c in v.split())  # noqa: E731
    securebits = ",".join("+" + b.replace("-", "_") for b in s.get("SecureBits", "").split())
    setpriv = ["setpriv", "--reuid=" + user, "--regid=" + group, "--init-groups",
               "--bounding-set=-all" + ("," + caps(s["CapabilityBoundingSet"]) if s["CapabilityBoundingSet"] else ""),
               "--inh-caps=-all" + ("," + caps(s["AmbientCapabilities"]) if s["AmbientCapabilities"] else ""),
               "--ambient-caps=-all" + ("," + caps(s["AmbientCapabilities"]) if s["AmbientCapabilities"] else "")]
    if s.get("NoNewPrivileges") == "yes":
        setpriv.append("--no-new-privs")
    if securebits:
        setpriv.append("--securebits=" + securebits)
    calls = seccomp_exec.allowed_calls(unit_settings(root.path(unit))["SystemCallFilter"])
    # The helper goes into the scratch root: the tree it came from may sit
    # under /tmp, which the unit's PrivateTmp hides from the sandbox.
    root.run("mkdir", "-p", "/opt/siptrunk-test")
    shutil.copy(os.path.join(HERE, "seccomp_exec.py"), root.path("/opt/siptrunk-test/seccomp_exec.py"))
    lines += ["umask " + s["UMask"], "export SECCOMP_ALLOWED_CALLS='%s'" % " ".join(sorted(calls)),
              "exec %s -- /usr/bin/python3 /opt/siptrunk-test/seccomp_exec.py %s %s"
              % (" ".join(setpriv), unit, s["ExecStart"])]
    return "\n".join(lines)


def start_sandboxed(root, daemon):
    if subprocess.run(["/usr/bin/python3", "-c", "import seccomp"]).returncode != 0:
        pytest.skip("python3-seccomp is missing")
    script = sandbox_script(root, "/lib/systemd/system/%s.service" % daemon)
    return root.popen(["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script],
                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def test_agent_runs_under_the_restrictions_of_its_unit(root, uasim):
    root.run("rm", "-rf", "/var/lib/siptrunk", "/var/log/siptrunk")  # a fresh store
    proc = start_sandboxed(root, "siptrunk-agent")
    try:
        wait_for(lambda: proc.poll() is not None or WAITING in read_trace(root), TIMEOUT, "the agent's start")
        assert proc.poll() is None, proc.stderr.read().decode()
        check_privileges(root, proc.pid)
        with open("/proc/%d/mountinfo" % proc.pid) as f:
            mounts = {line.split()[4]: line.split()[5] for line in f}
        assert mounts["/"].startswith("ro") and mounts["/usr"].startswith("ro")
        assert mounts["/var/lib/siptrunk"].startswith("rw")
        with open("/proc/%d/status" % proc.pid) as f:
            assert "Seccomp:\t2\n" in f.read()
        exercise_agent(root, uasim)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=TIMEOUT) == -signal.SIGTERM
        assert read_trace(root)[-1] == STOPPED
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def check_user_agent(root, pid):
    status = proc_status(pid)
    assert status["Uid"].split()[0] == root.run("id", "-u", "siptrunk").stdout.strip()
    assert [int(status[f], 16) for f in ("CapEff", "CapPrm", "CapBnd", "CapAmb")] == [0, 0, 0, 0]
    return status


def test_user_agent_by_its_script_and_under_its_unit(root, deb):
    """The SIP user agent connects to the agent without any capability, started
    by its sysvinit script, then under its unit's restrictions."""
    if "siptrunk-ua" not in daemons(deb):
        pytest.skip("the package holds no siptrunk-ua")
    before = read_trace(root).count(CONNECTED)
    root.run("/etc/init.d/siptrunk-agent", "start")
    proc = None
    try:
        root.run("/etc/init.d/siptrunk-ua", "start")
        wait_trace(root, CONNECTED, before + 1)
        with open(root.path("/run/siptrunk/siptrunk-ua.pid")) as f:
            check_user_agent(root, int(f.read()))
        assert os.path.exists(root.path("/var/log/siptrunk/siptrunk-ua.log"))
        root.run("/etc/init.d/siptrunk-ua", "stop")

        proc = start_sandboxed(root, "siptrunk-ua")
        wait_for(lambda: proc.poll() is not None or read_trace(root).count(CONNECTED) > before + 1,
                 TIMEOUT, "the sandboxed user agent's connection")
        assert proc.poll() is None, proc.stderr.read().decode()
        status = check_user_agent(root, proc.pid)
        assert (status["NoNewPrivs"], status["Seccomp"]) == ("1", "2")
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=TIMEOUT) in (0, -signal.SIGTERM)
    finally:
        if proc is not None and proc.poll() is None:
            proc.kill()
            proc.wait()
        root.run("/etc/init.d/siptrunk-ua", "stop")
        root.run("/etc/init.d/siptrunk-agent", "stop")
    assert root.processes() == []


def leftovers(root):
    found = []
    for top in ("/etc", "/usr", "/var"):
        for dirpath, dirnames, filenames in os.walk(root.upper(top)):
            found += [os.path.join(dirpath, n) for n in dirnames + filenames if "siptrunk" in n]
    return found


def test_remove_keeps_the_store_and_purge_removes_it(root, deb):
    root.run("dpkg", "-r", "siptrunk-agent")
    for path, _ in expected_files(deb):
        if not path.startswith("/etc/"):
            assert not os.path.lexists(root.path(path)), path
    assert os.path.exists(root.path("/var/lib/siptrunk/siptrunk.db"))
    root.run("dpkg", "-P", "siptrunk-agent")
    assert leftovers(root) == []
    # The system user stays, as Debian packages leave theirs.
    assert root.run("getent", "passwd", "siptrunk").returncode == 0
