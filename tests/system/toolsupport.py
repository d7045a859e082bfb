"""Helpers for the tests of siptrunkctl and siptrunk-uasim.

They run the real binaries against real Unix sockets and SQLite files in
private temporary directories. Waiting is always bounded by a deadline that
only guards against a hang; no test asserts how long anything took.
"""

import json
import os
import queue
import shutil
import socket
import subprocess
import tempfile
import threading

from agentharness import AgentDirs, call_params, pack, unpack, wait_for  # noqa: F401

HANG_GUARD = 15.0  # seconds before a wait is declared hung


def build_dir(config=None):
    """The build directory: SIPTRUNK_BUILD_DIR, else pytest's --build-dir, else /work/main/build."""
    value = os.environ.get("SIPTRUNK_BUILD_DIR")
    if not value and config is not None:
        value = config.getoption("--build-dir", default=None)
    return value or "/work/main/build"


def join_items(items):
    """One message: each item (str or bytes) followed by a NUL byte."""
    return pack(*items)


def wait_until(predicate, what):
    return wait_for(predicate, HANG_GUARD, what)


class ToolEnv(AgentDirs):
    """AgentDirs in a fresh short directory (socket names are limited to 108
    bytes), with runners for the two tools. `env` is the environment itself
    here, not AgentDirs' method."""

    ua_socket = AgentDirs.ua_sock
    cgi_socket = AgentDirs.cgi_sock
    event_socket = AgentDirs.event_sock

    def __init__(self, build):
        super().__init__(tempfile.mkdtemp(prefix="stt-", dir="/tmp"))
        self.build = build
        self.run_dir, self.state_dir, self.logs_dir = self.runtime, self.state, self.logs
        self.env = AgentDirs.env(self)
        self.ctl_path = os.path.join(build, "siptrunkctl")
        self.uasim_path = os.path.join(build, "siptrunk-uasim")
        self.processes = []

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def ctl(self, *args, env=None, password=None, stdin=b""):
        """Runs siptrunkctl to its end; returns the CompletedProcess (bytes stdout/stderr).
        A password (str or bytes) goes in on standard input with --password-stdin;
        otherwise standard input holds `stdin`, never a terminal."""
        if password is not None:
            end = args.index("--") if "--" in args else len(args)  # before the end of the options
            args = args[:end] + ("--password-stdin",) + args[end:]
            stdin = (password.encode() if isinstance(password, str) else password) + b"\n"
        return subprocess.run([self.ctl_path, *args], env=env or self.env, capture_output=True, input=stdin,
                              timeout=HANG_GUARD)

    def ctl_ok(self, *args, allowed=(0,), password=None):
        result = self.ctl(*args, password=password)
        assert result.returncode in allowed, (args, result.returncode, result.stderr)
        return result

    def status(self):
        """status --json --show-passwords; exit 0 or 3 (agent running or not)."""
        result = self.ctl("status", "--json", "--show-passwords")
        assert result.returncode in (0, 3), result.stderr
        return json.loads(result.stdout)

    def start(self, args, stdin=subprocess.PIPE):
        """Starts a tool in the background with line readers on stdout and stderr."""
        proc = LineProcess(args, self.env, stdin)
        self.processes.append(proc)
        return proc

    def close(self):
        for proc in self.processes:
            proc.stop()
        shutil.rmtree(self.root, ignore_errors=True)


class LineProcess:
    """A running tool whose stdout lines arrive in a queue (read by a thread)."""

    def __init__(self, args, env, stdin):
        self.proc = subprocess.Popen(args, env=env, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        self.seen = []
        self.stderr = b""
        self._pumps = [threading.Thread(target=self._pump_stdout, daemon=True),
                       threading.Thread(target=self._pump_stderr, daemon=True)]
        for pump in self._pumps:
            pump.start()

    def _pump_stdout(self):
        for line in self.proc.stdout:
            self.lines.put(line.decode("utf-8", "replace").rstrip("\n"))
        self.lines.put(None)

    def _pump_stderr(self):
        self.stderr = self.proc.stderr.read()

    def send(self, text):
        self.proc.stdin.write(text.encode() if isinstance(text, str) else text)
        self.proc.stdin.flush()

    def close_stdin(self):
        self.proc.stdin.close()

    def next_line(self):
        try:
            line = self.lines.get(timeout=HANG_GUARD)
        except queue.Empty:
            raise AssertionError("no output line; so far: %r" % self.seen)
        if line is None:
            self.lines.put(None)
            raise AssertionError("output ended; so far: %r" % self.seen)
        self.seen.append(line)
        return line

    def line_starting(self, prefix):
        """The next line that starts with prefix (earlier lines are skipped)."""
        while True:
            line = self.next_line()
            if line.startswith(prefix):
                return line

    def wait(self):
        """Waits for the end; stderr is complete afterwards."""
        status = self.proc.wait(timeout=HANG_GUARD)
        for pump in self._pumps:
            pump.join(timeout=HANG_GUARD)
        return status

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=HANG_GUARD)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class FakeAgentUaSide:
    """The agent's end of the user-agent link, played by the test: a
    SOCK_SEQPACKET listener on ua.sock."""

    def __init__(self, path):
        self.path = path
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.listener.bind(path)
        self.listener.listen(4)
        self.listener.settimeout(HANG_GUARD)
        self.conn = None

    def accept(self):
        self.conn, _ = self.listener.accept()
        self.conn.settimeout(HANG_GUARD)
        return self.conn

    def recv_items(self):
        return unpack(self.conn.recv(1 << 20))

    def recv_raw(self):
        return self.conn.recv(1 << 20)

    def send_items(self, items):
        self.conn.send(join_items(items))

    def handshake(self):
        """Accepts the user agent, checks HELLO 1, answers it and takes the list request."""
        self.accept()
        assert self.recv_items() == ["HELLO", "1"]
        self.send_items(["HELLO", "1"])
        assert self.recv_items() == ["REQUEST_USERS_LIST"]

    def close(self):
        if self.conn is not None:
            self.conn.close()
            self.conn = None
        self.listener.close()


class FakeAgentSettingsSide:
    """The agent's settings socket, played by the test: a SOCK_DGRAM socket
    bound to cgi-117.sock that records every update message."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(HANG_GUARD)

    def next_message(self):
        return unpack(self.sock.recv(1 << 17))

    def pending(self):
        self.sock.setblocking(False)
        try:
            self.sock.recv(1 << 17)
            return True
        except BlockingIOError:
            return False
        finally:
            self.sock.settimeout(HANG_GUARD)

    def close(self):
        self.sock.close()
