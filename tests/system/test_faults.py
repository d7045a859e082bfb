"""Faults around a running agent, with the real daemon and real parts: the
store's disk full, its files made read-only, its write lock held by another
process, its file corrupted; a user agent that vanishes in the middle of a list
or stops reading; an event listener that is gone, stale or never reads. The
agent must keep running, trace the fault, lose nothing committed, and work
again once the fault clears."""
import contextlib
import errno
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import time

import pytest

from agentharness import (IS_ROOT, EventListener, TraceFollower, UserAgent, private_dev_log_prefix, read_store,
                          store_edit, wait_for)

STOPPED = "INFO: ----Communication SIP Trunk Agent Stoped -----\n"
DISCONNECTED = "INFO:SIP Trunk Agent: SIP user agent disconnected ...\n"
TYPE_LINE = "MESS: Incoming update message from SIP Trunk settings CGI. type: # %02x \n"
CONFIRM_LINE = "MESS:SIP Trunk Agent(MASTER): Incoming ConfirmUserState ...FROM:   %s@%s:5060  # rez: %s # error: 0\n"


def slave(n):
    return dict(user="s%d" % n, password="pw%d" % n, addr="192.0.2.%d" % n, port="5060")


class Scene:
    """A running agent with the master role on, a user agent connected, and
    slave s1 registered and committed to the store before any fault."""

    def __init__(self, agent, tools, dirs, prefix=None):
        self.agent, self.dirs = agent, dirs
        store_edit(tools, dirs, "roles", "master", "on")
        store_edit(tools, dirs, "trunk", "add", "trunk1", "alice", password="secret")
        agent.start(prefix=prefix)
        self.ua = UserAgent(dirs)
        self.ua.set_users_list()
        self.next_slave = 1
        self.committed = []
        self.register(self.new_slave())
        self.wait_stored([1])

    def new_slave(self):
        self.next_slave += 1
        return self.next_slave - 1

    def confirm(self, n, registered=True):
        """Sends a confirmation and waits for its trace line (the agent has begun on it)."""
        s = slave(n)
        line = CONFIRM_LINE % (s["user"], s["addr"], "Register" if registered else "UnRegister")
        before = self.agent.trace_lines().count(line)
        self.ua.confirm(registered, 0, True, **s)
        self.agent.wait_trace(line, before + 1)

    def settle(self):
        """Returns once every confirmation sent before is handled to its end
        (notifications raised, store written): they are handled in order, and
        this one, for a trunk towards a master that does not exist, only traces."""
        line = "ERROR:SIP Trunk Agent(SLAVE): # user: settle not found...\n"
        before = self.agent.trace_lines().count(line)
        self.ua.confirm(True, 0, False, user="settle")
        self.agent.wait_trace(line, before + 1)

    def register(self, n, fails=False):
        """Registers slave n; with `fails`, its write must fail with a trace."""
        before = len(self.store_failures())
        self.confirm(n)
        if fails:
            wait_for(lambda: self.store_failures()[before:], what="a traced store failure")

    def store_failures(self):
        return [l for l in self.agent.trace_lines() if l.startswith("ERROR: Store: ")]

    def stored(self):
        """The numbers of the stored slaves, in registration order."""
        return [int(user[1:]) for (user,) in read_store(self.dirs, "SELECT user FROM registered_slaves ORDER BY id")]

    def wait_stored(self, numbers):
        self.committed = list(numbers)
        wait_for(lambda: self.stored() == self.committed, what="stored slaves %s" % self.committed)

    def answers(self):
        """The settings link is served and the process lives."""
        before = self.agent.trace_lines().count(TYPE_LINE % 11)
        self.agent.send_update("11")
        self.agent.wait_trace(TYPE_LINE % 11, before + 1)
        assert self.agent.running()

    def stop_cleanly(self):
        self.ua.close()
        assert self.agent.stop() == -signal.SIGTERM
        assert self.agent.trace_lines()[-1] == STOPPED


@pytest.fixture
def scene(agent, tools, dirs):
    return Scene(agent, tools, dirs)


def fault_then_recovery(scene, fault, failure, readable_during_fault=True):
    """Registrations during the fault are handled but their writes fail with a
    trace (the last one naming `failure`); nothing committed is lost; once the
    fault clears the agent writes the failed ones again by itself, in its
    table's order, beside a new registration."""
    committed = scene.committed
    failed = [scene.new_slave(), scene.new_slave()]
    with fault:
        for n in failed:
            scene.register(n, fails=True)
        assert failure in scene.store_failures()[-1]
        scene.answers()
        if readable_during_fault:
            assert scene.stored() == scene.committed
    later = scene.new_slave()
    scene.register(later)
    scene.wait_stored(committed + failed + [later])


# --- the store -------------------------------------------------------------------

@pytest.fixture
def scene_on_small_tmpfs(agent, tools, dirs):
    if not IS_ROOT:
        pytest.skip("mounting a tmpfs needs root")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k,mode=0700", "siptrunk-test", dirs.state], check=True)
    try:
        yield Scene(agent, tools, dirs)
    finally:
        agent.kill_if_running()
        subprocess.run(["umount", "-l", dirs.state], check=False)


@contextlib.contextmanager
def disk_filled(directory):
    filler = os.path.join(directory, "filler")
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        with pytest.raises(OSError) as full:
            while True:
                os.write(fd, b"\0" * 4096)
        assert full.value.errno == errno.ENOSPC
        yield
    finally:
        os.close(fd)
        os.unlink(filler)


@contextlib.contextmanager
def immutable(*paths):
    """chattr +i: root ignores mode bits but not this flag."""
    done = []
    try:
        for path in paths:
            result = subprocess.run(["chattr", "+i", path], capture_output=True, text=True)
            if result.returncode != 0:
                pytest.skip("the file system refuses chattr +i on %s: %s" % (path, result.stderr.strip()))
            done.append(path)
        yield
    finally:
        for path in done:
            subprocess.run(["chattr", "-i", path], capture_output=True)


@contextlib.contextmanager
def write_lock_held(path):
    """Another writer holding the store's write lock (BEGIN EXCLUSIVE)."""
    con = sqlite3.connect(path, isolation_level=None)
    try:
        con.execute("BEGIN EXCLUSIVE")
        yield
        con.execute("ROLLBACK")
    finally:
        con.close()


@contextlib.contextmanager
def header_overwritten(path):
    with open(path, "r+b") as f:
        header = f.read(100)
        f.seek(0)
        f.write(b"not a store! " * 7 + b"!")
    try:
        yield
    finally:
        with open(path, "r+b") as f:
            f.write(header)


@contextlib.contextmanager
def replaced_by_garbage(path, copy):
    """The file replaced by garbage; afterwards the copy is put in its place."""
    garbage = path + ".garbage"
    with open(garbage, "wb") as f:
        f.write(bytes(range(256)) * 64)
    os.replace(garbage, path)
    try:
        yield
    finally:
        os.replace(copy, path)


def test_disk_full(scene_on_small_tmpfs):
    scene = scene_on_small_tmpfs
    fault_then_recovery(scene, disk_filled(scene.dirs.state), "SetRegisterParam failed: database or disk is full")
    scene.stop_cleanly()
    assert scene.stored() == scene.committed


def consistent_copy(scene):
    copy = os.path.join(scene.dirs.root, "copy.db")
    with sqlite3.connect("file:%s?mode=ro" % scene.dirs.store, uri=True) as source, sqlite3.connect(copy) as target:
        source.backup(target)
    return copy


# Each fault, and the failure its traced line names. The log takes the writes
# first, so it is made immutable with the file. A store overwritten in place
# gets its own header back; one replaced by garbage gets a consistent copy.
STORE_FAULTS = {
    "read-only": (lambda s: immutable(s.dirs.store, s.dirs.store + "-wal"), "SetRegisterParam failed: %(store)s: "
                  "the file is read-only", True),
    "write-lock": (lambda s: write_lock_held(s.dirs.store), "SetRegisterParam failed: database is locked", True),
    "header-overwritten": (lambda s: header_overwritten(s.dirs.store), "file is not a database", False),
    "replaced-by-garbage": (lambda s: replaced_by_garbage(s.dirs.store, consistent_copy(s)), "file is not a database",
                            False),
}


@pytest.mark.parametrize("fault", sorted(STORE_FAULTS))
def test_store_fault_then_recovery(scene, fault):
    make, failure, readable = STORE_FAULTS[fault]
    fault_then_recovery(scene, make(scene), failure % {"store": scene.dirs.store}, readable_during_fault=readable)
    if fault == "replaced-by-garbage":
        assert any("was replaced or removed" in l for l in scene.agent.trace_lines())
    scene.stop_cleanly()
    assert scene.stored() == scene.committed


# --- the user agent ---------------------------------------------------------------

VANISHING_USER_AGENT = r"""
import os, signal, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(sys.argv[1])
s.send(b"HELLO\0" b"1\0")
assert s.recv(100) == b"HELLO\0" b"1\0"
s.send(b"REQUEST_USERS_LIST\0")
assert s.recv(4096).startswith(b"SET_USERS_LIST\0")  # the first bytes of the list, the rest unread
os.kill(os.getpid(), signal.SIGKILL)
"""


def store_many_trunks(tools, dirs, count):
    store_edit(tools, dirs, "roles", "master", "on")
    with contextlib.closing(sqlite3.connect(dirs.store)) as con, con:
        con.executemany("INSERT INTO sip_trunks (name, user, password) VALUES (?, ?, ?)",
                        (("t%d" % i, "u%d" % i, "p%d" % i) for i in range(count)))


def test_user_agent_vanishing_in_the_middle_of_a_big_list(agent, tools, dirs):
    store_many_trunks(tools, dirs, 3000)
    agent.start()
    # Killed while reading the list.
    child = subprocess.run([sys.executable, "-c", VANISHING_USER_AGENT, dirs.ua_sock], timeout=30)
    assert child.returncode == -signal.SIGKILL
    agent.wait_trace(DISCONNECTED, 1)
    # Gone at once after asking for it.
    quitter = UserAgent(dirs)
    quitter.close()
    agent.wait_trace(DISCONNECTED, 2)

    ua = UserAgent(dirs)
    accounts = ua.set_users_list()["accounts"]
    assert [a["user"] for a in accounts] == ["u%d" % i for i in range(3000)]
    agent.send_update("11")
    agent.wait_trace(TYPE_LINE % 11)
    assert agent.trace_lines().count(DISCONNECTED) == 2
    ua.close()
    assert agent.stop() == -signal.SIGTERM
    assert agent.trace_lines()[-1] == STOPPED


@pytest.mark.slow
def test_user_agent_not_reading_for_a_minute_is_dropped_and_nothing_sticks(agent, tools, dirs):
    store_edit(tools, dirs, "roles", "master", "on")
    agent.start()
    lazy = UserAgent(dirs)  # says HELLO and asks for the lists, then reads nothing for a minute
    trace = TraceFollower(dirs.log_path)
    big = "p" * 32768  # fills the agent's send buffer in a few hundred messages
    sent = 0
    until = time.monotonic() + 60
    while time.monotonic() < until:
        sent += 1
        password = big if trace.count(DISCONNECTED) == 0 else "p"
        agent.send_update("4", "t%d" % sent, "u%d" % sent, password, "0")
        # Each update message is handled within a bounded time, also while a send waits.
        trace.wait(TYPE_LINE % 4, sent, timeout=15)
        time.sleep(0.02)
    assert trace.count(DISCONNECTED) == 1
    assert trace.count("ERROR: user-agent link: the user agent has not taken a CHANGE_USER_PARAMS*") == 1
    # The lazy one finds what was queued before the drop, then the end.
    lazy.sock.settimeout(10)
    while lazy.sock.recv(65536 * 2) != b"":
        pass
    lazy.close()

    ua = UserAgent(dirs)
    assert ua.set_users_list()["active"] is True
    agent.send_update("4", "late", "u-late", "p", "0")
    assert ua.change_user_params()["new"]["user"] == "u-late"
    ua.close()
    assert agent.stop() == -signal.SIGTERM
    assert agent.trace_lines()[-1] == STOPPED


# --- the event manager --------------------------------------------------------------

def notifications(scene, count):
    """Unregistrations and registrations of s1 in turn, each raising a notification."""
    for i in range(count):
        scene.confirm(1, registered=i % 2 == 1)
    scene.settle()


def test_event_listener_gone_stale_or_full_never_holds_the_agent(scene):
    dirs = scene.dirs

    listener = EventListener(dirs)
    notifications(scene, 1)
    assert len(listener.wait(1)) == 1

    # Gone: closed and its file removed.
    listener.close()
    os.unlink(dirs.event_sock)
    notifications(scene, 6)
    listener = EventListener(dirs)
    notifications(scene, 1)
    assert len(listener.wait(1)) == 1

    # Stale: closed, its file left behind.
    listener.close()
    notifications(scene, 6)
    listener = EventListener(dirs)  # removes the stale file and binds again
    notifications(scene, 1)
    assert len(listener.wait(1)) == 1

    # Full: bound but not reading for a while; it loses nothing once it reads again.
    notifications(scene, 40)
    received = len(listener.events)
    notifications(scene, 1)
    assert len(listener.wait(received + 41)) == received + 41

    listener.close()
    assert not [l for l in scene.agent.trace_lines() if "event channel" in l]
    scene.answers()
    scene.stop_cleanly()


@pytest.mark.skipif(not IS_ROOT, reason="a private /dev/log needs a mount namespace (root)")
def test_a_syslog_reader_that_never_reads_holds_no_thread(agent, tools, dirs):
    path = os.path.join(dirs.root, "log.sock")
    reader = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    reader.bind(path)  # bound, never read
    try:
        scene = Scene(agent, tools, dirs, prefix=private_dev_log_prefix(dirs, path))
        notifications(scene, 30)
        scene.answers()
        scene.stop_cleanly()
    finally:
        agent.kill_if_running()
        reader.close()
