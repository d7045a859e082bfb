"""Drives the real daemon: processes, directories, the trace log, and Python implementations of its wire formats
(the tests check the daemon against the documented bytes, not its own codec)."""
import contextlib
import json
import os
import resource
import signal
import socket
import subprocess
import time

IS_ROOT = os.geteuid() == 0
EMULATED_AGENT = False  # set by conftest.py: the agent runs under an emulator in another byte order
DEFAULT_TIMEOUT = 10.0
STOPPED = "INFO: ----Communication SIP Trunk Agent Stoped -----\n"
CONNECTED = "INFO:SIP Trunk Agent: OnSetUsersList: SIP user agent connected ...\n"
DISCONNECTED = "INFO:SIP Trunk Agent: SIP user agent disconnected ...\n"
TYPE_LINE = "MESS: Incoming update message from SIP Trunk settings CGI. type: # %02x \n"


def read_text(path):
    with contextlib.suppress(FileNotFoundError), open(path, "rb") as f:
        return f.read().decode(errors="replace")
    return ""


def stop_process(proc, timeout=5):
    """SIGTERM, then SIGKILL after `timeout`; True when SIGTERM was enough."""
    proc.terminate()  # nothing when it has ended
    try:
        return proc.wait(timeout=timeout) is not None
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return False


def wait_for(predicate, timeout=DEFAULT_TIMEOUT, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if value := predicate():
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def pack(*items):
    return b"".join((i if isinstance(i, bytes) else str(i).encode()) + b"\0" for i in items)


def unpack(data):
    if not data:
        return []
    assert data.endswith(b"\0"), "item without its final NUL: %r" % data[-20:]
    return [part.decode(errors="surrogateescape") for part in data[:-1].split(b"\0")]


def call_params(user="", password="", addr="", port="", host="", flags=0):
    """The 11 items of one account record, in wire order."""
    return [user, "", host, password, addr, port, "", "", "", "", str(flags)]


def read_call_params(items):
    return dict(zip(("user", "r1", "host", "password", "addr", "port", "r2", "r3", "r4", "r5", "flags"), items[:11]))


class BuildTools:
    def __init__(self, build_dir, runner=""):
        prefix, _, agent_dir = runner.partition("@")
        self.build_dir, self.agent_prefix, self.agent_dir = build_dir, prefix.split(), agent_dir or build_dir
        self.agent_binary = os.path.join(self.agent_dir, "siptrunk-agent")
        self.emulated = bool(self.agent_prefix)  # the target build under qemu-ppc

    def path(self, name):
        return os.path.join(self.build_dir, name)

    def ctl_command(self):  # the agent's build: SQLite's WAL index is in the machine's byte order
        return self.agent_prefix + [os.path.join(self.agent_dir, "siptrunkctl")]


class AgentDirs:
    def __init__(self, tmp_path):
        self.root = str(tmp_path)
        self.runtime, self.state, self.logs = (os.path.join(self.root, d) for d in ("run", "lib", "log"))
        for d in (self.runtime, self.state, self.logs):
            os.makedirs(d, exist_ok=True)

        self.log_path = os.path.join(self.logs, "siptrunk-agent.log")
        self.store = os.path.join(self.state, "siptrunk.db")
        self.ua_sock, self.cgi_sock, self.event_sock, self.pid_file = (os.path.join(self.runtime, n) for n in (
            "ua.sock", "cgi-117.sock", "eventman.sock", "siptrunk-agent.pid"))

    def env(self, extra=None):
        return {**os.environ, "RUNTIME_DIRECTORY": self.runtime, "STATE_DIRECTORY": self.state,
                "LOGS_DIRECTORY": self.logs, **(extra or {})}


def trace_text(line):  # the text after the timestamp
    parts = line.split(" ", 2)
    return parts[2] if len(parts) == 3 else line


class TraceFollower:
    """Counts trace lines as the log grows, reading each byte once."""

    def __init__(self, path):
        self.path, self.inode, self.offset, self.partial, self.counts = path, None, 0, b"", {}

    @staticmethod
    def _read_from(path, offset):
        with contextlib.suppress(FileNotFoundError), open(path, "rb") as f:
            f.seek(offset)
            return f.read(), os.fstat(f.fileno()).st_ino
        return b"", None

    def count(self, text):
        """Lines equal to `text`, or, for a text ending in "*", beginning with it."""
        data, current = b"", None
        with contextlib.suppress(FileNotFoundError):  # renamed, not made again yet
            current = open(self.path, "rb")  # the file read is the one whose inode counts: it may rotate meanwhile
        with current or contextlib.nullcontext():
            inode = os.fstat(current.fileno()).st_ino if current else None
            if self.inode is not None and inode != self.inode:  # rotated: finish the old file (now ".1") first
                rest, old_inode = self._read_from(self.path + ".1", self.offset)
                data, self.offset = rest if old_inode == self.inode else b"", 0
            self.inode = inode
            if current:
                current.seek(self.offset)
                new = current.read()
                self.offset += len(new)
                data += new
        lines = (self.partial + data).split(b"\n")
        self.partial = lines.pop()
        for raw in lines:
            line = trace_text(raw.decode(errors="replace")) + "\n"
            self.counts[line] = self.counts.get(line, 0) + 1
        if text.endswith("*"):
            return sum(n for line, n in self.counts.items() if line.startswith(text[:-1]))
        return self.counts.get(text, 0)

    def wait(self, text, count, timeout=DEFAULT_TIMEOUT):
        wait_for(lambda: self.count(text) >= count, timeout, "%d x %r" % (count, text))


def _agent_child_setup():
    """No core files; the handled signals at their default actions, whatever the launcher left ignored (nohup,
    a shell's background job): the agent ends by the signal it caught by putting back the action it found."""
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    for signum in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT):
        signal.signal(signum, signal.SIG_DFL)


class AgentProcess:
    def __init__(self, tools, dirs):
        self.tools, self.dirs, self.proc = tools, dirs, None

    def start(self, netns=None, prefix=None, wait_listening=True):
        """netns: an `ip netns` name to run in; by default, as root, a private one (unshare -n)."""
        cmd = list(prefix or []) + self.tools.agent_prefix + [self.tools.agent_binary]
        cmd = (["ip", "netns", "exec", netns] if netns else ["unshare", "-n", "--"] if IS_ROOT else []) + cmd
        self.proc = subprocess.Popen(cmd, env=self.dirs.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, start_new_session=True,
                                     preexec_fn=_agent_child_setup)
        with open(self.dirs.pid_file, "w") as f:
            f.write("%d\n" % self.proc.pid)
        if wait_listening:
            self.wait_trace("INFO: Waiting for SIP user agent ...\n")
            wait_for(lambda: os.path.exists(self.dirs.cgi_sock) and os.path.exists(self.dirs.ua_sock),
                     what="agent sockets")
        return self

    pid = property(lambda self: self.proc.pid)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def send_signal(self, signum):
        os.kill(self.proc.pid, signum)

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        wait_for(lambda: self.proc.poll() is not None, timeout, "the agent's end")
        return self.proc.returncode

    def stop(self, signum=signal.SIGTERM):
        self.send_signal(signum)
        return self.wait_exit()

    def stop_cleanly(self):  # SIGTERM ends the agent by that signal, after one closing trace line
        assert self.stop() == -signal.SIGTERM
        assert self.trace_lines()[-1] == STOPPED

    def kill_if_running(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()
            self.proc.stdout.close()
            self.proc.stderr.close()

    def trace_lines(self):
        return [trace_text(line) + "\n" for line in read_text(self.dirs.log_path).splitlines()]

    def wait_trace(self, text, count=1, timeout=DEFAULT_TIMEOUT):
        wait_for(lambda: self.trace_lines().count(text) >= count, timeout, "trace line %r" % text)

    def handled_update(self, kind=11):  # sent and handled
        before = self.trace_lines().count(TYPE_LINE % kind)
        self.send_update(str(kind))
        self.wait_trace(TYPE_LINE % kind, before + 1)

    def wait_trace_containing(self, fragment, timeout=DEFAULT_TIMEOUT):
        wait_for(lambda: [l for l in self.trace_lines() if fragment in l], timeout, "trace containing %r" % fragment)

    def send_update(self, *items):
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(pack(*items), self.dirs.cgi_sock)


class UserAgent:  # a minimal one on ua.sock, written from the documented format

    def __init__(self, dirs):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.sock.connect(dirs.ua_sock)
        self.send("HELLO", "1")
        assert self.receive() == ["HELLO", "1"]
        self.send("REQUEST_USERS_LIST")

    def send(self, *items):
        self.sock.send(pack(*items))

    def receive(self, timeout=DEFAULT_TIMEOUT):
        self.sock.settimeout(timeout)
        data = self.sock.recv(8 * 1024 * 1024)
        return unpack(data) if data else None

    def receive_message(self, name, timeout=DEFAULT_TIMEOUT):  # others are skipped
        deadline = time.monotonic() + timeout
        while (items := self.receive(max(deadline - time.monotonic(), 0.001)) or [None])[0] != name:
            assert items != [None], "connection closed while waiting for " + name
        return items

    def set_users_list(self, timeout=DEFAULT_TIMEOUT):
        items = self.receive_message("SET_USERS_LIST", timeout)
        return {"active": items[1] == "1", "master": items[2] == "1",
                "accounts": [read_call_params(items[4 + 11 * i:]) for i in range(int(items[3]))]}

    def change_user_params(self, timeout=DEFAULT_TIMEOUT):
        items = self.receive_message("CHANGE_USER_PARAMS", timeout)
        return {"master": items[1] == "1", "old": read_call_params(items[2:13]), "new": read_call_params(items[13:24])}

    def confirm(self, registered, error, master, **account):
        self.send("CONFIRM_USER_STATE", "1" if registered else "0", str(error), "1" if master else "0",
                  *call_params(**account))

    def close(self):
        self.sock.close()


class EventListener:  # on eventman.sock

    def __init__(self, dirs):
        self.sock, self.events = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM), []
        with contextlib.suppress(FileNotFoundError):
            os.unlink(dirs.event_sock)
        self.sock.bind(dirs.event_sock)
        self.sock.settimeout(0.05)

    def drain(self):
        with contextlib.suppress(socket.timeout):
            while True:
                self.events.append(tuple(unpack(self.sock.recv(65536))))
        return self.events

    def wait(self, count, timeout=DEFAULT_TIMEOUT):
        wait_for(lambda: len(self.drain()) >= count, timeout, "%d notifications" % count)
        return self.events

    def close(self):
        self.sock.close()


def ctl(tools, dirs, *args, check=True, password=None):
    """Runs siptrunkctl; returns (exit code, stdout, stderr). A password goes in on standard input."""
    if password is not None:
        args += ("--password-stdin",)
    result = subprocess.run(tools.ctl_command() + list(args), env=dirs.env(), capture_output=True, text=True,
                            input="" if password is None else password + "\n", timeout=60)
    assert not check or result.returncode == 0, ("siptrunkctl", args, result.returncode, result.stderr)
    return result.returncode, result.stdout, result.stderr


def store_edit(tools, dirs, *args, password=None):  # exit 3 (no agent) keeps the edit
    code, out, err = ctl(tools, dirs, *args, check=False, password=password)
    assert code in (0, 3), "siptrunkctl %s: %d %s" % (" ".join(args), code, err)
    return out


def status(tools, dirs):
    return json.loads(store_edit(tools, dirs, "status", "--json", "--show-passwords"))


def admitted(namespace):  # the addresses in the regulator's nftables set there; None without the set
    out = subprocess.run(["ip", "netns", "exec", namespace, "nft", "-j", "list", "set", "inet", "siptrunk",
                          "lan_slaves"], capture_output=True, text=True)
    if out.returncode == 0:
        return sorted(e for i in json.loads(out.stdout)["nftables"] if "set" in i for e in i["set"].get("elem", []))


def read_store(dirs, sql, params=()):
    """Rows of one query on the store, opened read-only: a WAL reader never blocks the writer."""
    import sqlite3
    if EMULATED_AGENT:
        __import__("pytest").skip("host Python cannot share the store with an agent of another byte order "
                    "(SQLite's WAL index is native-endian)")
    with contextlib.closing(sqlite3.connect("file:%s?mode=ro" % dirs.store, uri=True, timeout=5)) as con:
        return con.execute(sql, params).fetchall()


# The rest of the command line with a private /dev of links to the real devices and /dev/log leading to $2 ($1: an
# empty directory for the real /dev).
PRIVATE_DEV_LOG = r"""
set -e
mount --rbind /dev "$1"
mount -t tmpfs -o mode=0755,size=64k siptrunk-dev /dev
for entry in "$1"/*; do ln -s "$entry" /dev/; done
ln -sfn "$2" /dev/log
shift 2
exec "$@"
"""


def private_dev_log_prefix(dirs, socket_path):
    """A prefix for AgentProcess.start: the agent's syslog goes to socket_path (root only)."""
    real_dev = os.path.join(dirs.root, "real-dev")
    os.makedirs(real_dev, exist_ok=True)
    return ["unshare", "-m", "--", "sh", "-c", PRIVATE_DEV_LOG, "sh", real_dev, socket_path]
