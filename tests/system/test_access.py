"""Who may talk to the agent and what leaves it: a sender without write
permission on the agent's sockets is refused; no password reaches syslog or
the event manager. (Data that looks like SQL: the store's and siptrunkctl's
tests.)"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading

import pytest

from agentharness import (IS_ROOT, AgentDirs, AgentProcess, EventListener, UserAgent, ctl, private_dev_log_prefix,
                          store_edit, wait_for)

TYPE_LINE = "MESS: Incoming update message from SIP Trunk settings CGI. type: # %02x \n"
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]

# Tries both sockets; prints one word per attempt: "ok" or the errno name.
PROBE = r"""
import errno, socket, sys
def attempt(kind, act):
    s = socket.socket(socket.AF_UNIX, kind)
    try:
        act(s)
        print("ok")
    except OSError as e:
        print(errno.errorcode[e.errno])
    finally:
        s.close()
attempt(socket.SOCK_DGRAM, lambda s: s.sendto(b"11\0", sys.argv[1]))
attempt(socket.SOCK_SEQPACKET, lambda s: s.connect(sys.argv[2]))
"""


@pytest.fixture
def open_dirs():
    """Directories every user may pass through, so that only the sockets'
    own modes stand between an unprivileged user and the agent."""
    root = tempfile.mkdtemp(prefix="siptrunk-access-")
    os.chmod(root, 0o755)
    yield AgentDirs(root)
    shutil.rmtree(root, ignore_errors=True)


@pytest.mark.skipif(not IS_ROOT, reason="switching to the unprivileged user needs root")
def test_a_sender_without_write_permission_is_refused(tools, open_dirs):
    dirs = open_dirs
    agent = AgentProcess(tools, dirs)
    try:
        agent.start()

        def probe():
            result = subprocess.run(NOBODY + [sys.executable, "-c", PROBE, dirs.cgi_sock, dirs.ua_sock],
                                    capture_output=True, text=True, timeout=30)
            assert result.returncode == 0, result.stderr
            return result.stdout.split()

        assert probe() == ["EACCES", "EACCES"]
        result = subprocess.run(NOBODY + [tools.path("siptrunkctl"), "send", "11"], env=dirs.env(),
                                capture_output=True, text=True, timeout=30)
        assert result.returncode != 0
        assert "permission denied on %s" % dirs.cgi_sock in result.stderr
        # A later message from root is handled; nothing of nobody's was.
        agent.send_update("12")
        agent.wait_trace(TYPE_LINE % 12)
        assert TYPE_LINE % 11 not in agent.trace_lines()
        assert not [l for l in agent.trace_lines() if "user-agent link" in l]

        # The sockets' modes are what refused them: opened up, the same user gets through.
        for sock in (dirs.cgi_sock, dirs.ua_sock):
            os.chmod(sock, 0o666)
        assert probe() == ["ok", "ok"]
        agent.wait_trace(TYPE_LINE % 11)
        assert agent.stop() == -signal.SIGTERM
    finally:
        agent.kill_if_running()


class SyslogCatcher:
    """A datagram socket standing for /dev/log, read all the time (a syslog
    reader that stops would hold every process that logs)."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.1)
        self.datagrams = []
        self.running = True
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while self.running:
            try:
                self.datagrams.append(self.sock.recv(65536))
            except socket.timeout:
                pass

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


@pytest.mark.skipif(not IS_ROOT, reason="a private mount namespace needs root")
def test_no_password_reaches_syslog_or_the_event_manager(agent, tools, dirs):
    passwords = ["Pw-Alice-7731", "Pw-Bob-9420"]
    store_edit(tools, dirs, "roles", "master", "on")
    store_edit(tools, dirs, "roles", "slave", "on")
    store_edit(tools, dirs, "trunk", "add", "trunk1", "alice", password=passwords[0])
    store_edit(tools, dirs, "master", "add", "uplink", "bob", "192.0.2.1", "5060", "--enable", password=passwords[1])
    syslog = SyslogCatcher(os.path.join(dirs.root, "log.sock"))
    events = EventListener(dirs)
    try:
        agent.start(prefix=private_dev_log_prefix(dirs, syslog.sock.getsockname()))
        ua = UserAgent(dirs)
        ua.set_users_list()
        ua.set_users_list()
        alice = dict(user="alice", password=passwords[0], port="5060")
        bob = dict(user="bob", password=passwords[1], addr="192.0.2.1", port="5060")
        ua.confirm(True, 0, True, addr="192.0.2.10", **alice)   # a slave registers,
        ua.confirm(True, 0, True, addr="192.0.2.20", **alice)   # moves,
        ua.confirm(False, 0, True, addr="192.0.2.20", **alice)  # and unregisters
        ua.confirm(False, 7, False, **bob)                      # the trunk towards a master fails,
        ua.confirm(True, 0, False, **bob)                       # recovers,
        events.wait(5)
        ctl(tools, dirs, "master", "disable", "uplink")         # and is unregistered
        texts = [text for (_, _, text) in events.wait(6)]
        assert [t.split(" ")[:2] for t in texts] == [["Successfully", "registered"], ["Successfully", "registered"],
                                                    ["Successfully", "unregistered"], ["Could", "not"],
                                                    ["Successfully", "registered"], ["Unregistered", "user"]]
        wait_for(lambda: all(any(t.encode() in d for d in syslog.datagrams) for t in texts),
                 what="every notification in syslog")
        for password in passwords:
            assert not [t for t in texts if password in t]
            assert not [d for d in syslog.datagrams if password.encode() in d]
        ua.close()
        assert agent.stop() == -signal.SIGTERM
    finally:
        agent.kill_if_running()
        events.close()
        syslog.close()
