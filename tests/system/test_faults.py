"""Faults around a running agent (store, event listener, syslog): it must keep running,
trace the fault, lose nothing committed, and work again once the fault clears."""
import contextlib
import errno
import os
import socket
import sqlite3
import subprocess
import threading
import time

import pytest

from agentharness import (IS_ROOT, EventListener, UserAgent, private_dev_log_prefix, read_store, store_edit, unpack,
                          wait_for)

CONFIRM_LINE = "MESS:SIP Trunk Agent(MASTER): Incoming ConfirmUserState ...FROM:   %s@%s:5060  # rez: %s # error: 0\n"


class Scene:
    """An agent with the master role, a user agent connected, slave s1 stored before any fault."""

    def __init__(self, agent, tools, dirs, prefix=None):
        self.agent, self.dirs, self.slaves = agent, dirs, iter(range(2, 100))
        store_edit(tools, dirs, "roles", "master", "on")
        store_edit(tools, dirs, "trunk", "add", "trunk1", "alice", password="secret")
        agent.start(prefix=prefix)
        self.ua = UserAgent(dirs)
        self.ua.set_users_list()
        self.register(1)
        self.wait_stored([1])

    def confirm(self, n, registered=True, master=True, line=None):  # sent, and the agent has begun on it
        s = (dict(user="s%d" % n, password="pw%d" % n, addr="192.0.2.%d" % n, port="5060") if master
             else dict(user="settle"))
        line = line or CONFIRM_LINE % (s["user"], s["addr"], "Register" if registered else "UnRegister")
        before = self.agent.trace_lines().count(line)
        self.ua.confirm(registered, 0, master, **s)
        self.agent.wait_trace(line, before + 1)

    def settle(self):  # handled in order: once this one (an unknown trunk towards a master) is traced, all are
        self.confirm(0, master=False, line="ERROR:SIP Trunk Agent(SLAVE): # user: settle not found...\n")

    def register(self, n, fails=False):
        before = len(self.store_failures())
        self.confirm(n)
        if fails:
            wait_for(lambda: self.store_failures()[before:], what="a traced store failure")

    store_failures = lambda self: [l for l in self.agent.trace_lines() if l.startswith("ERROR: Store: ")]  # noqa

    def stored(self):
        return [int(user[1:]) for (user,) in read_store(self.dirs, "SELECT user FROM registered_slaves ORDER BY id")]

    def wait_stored(self, numbers):
        self.committed = list(numbers)
        wait_for(lambda: self.stored() == self.committed, what="stored slaves %s" % self.committed)

    def stop_cleanly(self):
        self.ua.close()
        self.agent.stop_cleanly()


@contextlib.contextmanager
def disk_filled(directory):
    with open(os.path.join(directory, "filler"), "wb", buffering=0) as f, pytest.raises(OSError) as full:
        while True:
            f.write(b"\0" * 4096)
    assert full.value.errno == errno.ENOSPC
    yield
    os.unlink(f.name)


@contextlib.contextmanager
def write_lock_held(path):  # by another writer
    with contextlib.closing(sqlite3.connect(path, isolation_level=None)) as con:
        con.execute("BEGIN EXCLUSIVE")
        yield
        con.execute("ROLLBACK")


@contextlib.contextmanager
def replaced_by_garbage(dirs):  # afterwards a consistent copy is put in its place
    copy, garbage = os.path.join(dirs.root, "copy.db"), dirs.store + ".garbage"
    with sqlite3.connect("file:%s?mode=ro" % dirs.store, uri=True) as source, sqlite3.connect(copy) as target:
        source.backup(target)
    with open(garbage, "wb") as f:
        f.write(bytes(range(256)) * 64)
    os.replace(garbage, dirs.store)
    yield
    os.replace(copy, dirs.store)


# Each fault, the failure its traced line names, and whether the store stays readable meanwhile.
STORE_FAULTS = {
    "disk-full": (lambda d: disk_filled(d.state), "SetRegisterParam failed: database or disk is full", True),
    "write-lock": (lambda d: write_lock_held(d.store), "SetRegisterParam failed: database is locked", True),
    "replaced-by-garbage": (replaced_by_garbage, "file is not a database", False),
}


@pytest.mark.parametrize("fault", sorted(STORE_FAULTS))
def test_store_fault_then_recovery(agent, tools, dirs, fault):
    """Writes during the fault fail with a trace; once it clears, the agent writes them again by itself, in order."""
    if fault == "disk-full":
        if not IS_ROOT:
            pytest.skip("mounting a tmpfs needs root")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k,mode=0700", "siptrunk-test", dirs.state], check=True)
    try:
        scene = Scene(agent, tools, dirs)
        make, failure, readable = STORE_FAULTS[fault]
        committed, failed = scene.committed, [next(scene.slaves), next(scene.slaves)]
        with make(dirs):
            for n in failed:
                scene.register(n, fails=True)
            assert failure in scene.store_failures()[-1]
            agent.handled_update()
            if readable:
                assert scene.stored() == committed
        later = next(scene.slaves)
        scene.register(later)
        scene.wait_stored(committed + failed + [later])
        if fault == "replaced-by-garbage":
            assert any("was replaced or removed" in l for l in agent.trace_lines())
        scene.stop_cleanly()
        assert scene.stored() == scene.committed
    finally:
        if fault == "disk-full":
            agent.kill_if_running()
            subprocess.run(["umount", "-l", dirs.state], check=False)


def notifications(scene, count):  # unregistrations and registrations of s1 in turn
    for i in range(count):
        scene.confirm(1, registered=i % 2 == 1)
    scene.settle()


def test_event_listener_gone_stale_or_full_never_holds_the_agent(agent, tools, dirs):
    scene = Scene(agent, tools, dirs)
    scene.settle()  # s1's own notification is out before the listener binds
    listener = EventListener(dirs)
    for removed in (True, False):  # gone (its file removed), then stale (its file left)
        notifications(scene, 1)
        assert len(listener.wait(1)) == 1
        listener.close()
        if removed:
            os.unlink(dirs.event_sock)
        notifications(scene, 6)
        listener = EventListener(dirs)  # removes a stale file and binds again
    # Full: bound but not reading for a while; it loses nothing once it reads again.
    notifications(scene, 41)
    assert len(listener.wait(41)) == 41
    listener.close()
    assert not [l for l in agent.trace_lines() if "event channel" in l]
    agent.handled_update()
    scene.stop_cleanly()


@pytest.mark.skipif(not IS_ROOT, reason="a private /dev/log needs a mount namespace (root)")
def test_a_syslog_reader_that_never_reads_holds_no_thread(agent, tools, dirs):
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as reader:
        reader.bind(os.path.join(dirs.root, "log.sock"))  # bound, never read
        notifications(Scene(agent, tools, dirs, prefix=private_dev_log_prefix(dirs, reader.getsockname())), 30)
        agent.handled_update()
        agent.stop_cleanly()


def slow_reader(sock, received):  # a datagram every few ms, until the socket closes
    sock.settimeout(None)
    with contextlib.suppress(OSError):
        while data := sock.recv(65536):
            received.append(data)
            time.sleep(0.003)


def test_a_burst_of_notifications_reaches_slow_readers_whole_in_order_and_without_passwords(agent, tools, dirs):
    burst, passwords = 500, ["Pw-Alice-7731", "Pw-Bob-9420"]
    store_edit(tools, dirs, "roles", "master", "on")
    store_edit(tools, dirs, "roles", "slave", "on")
    store_edit(tools, dirs, "master", "add", "uplink", "bob", "192.0.2.1", "5060", "--enable", password=passwords[1])
    syslog = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    syslog.bind(os.path.join(dirs.root, "log.sock"))
    agent.start(prefix=private_dev_log_prefix(dirs, syslog.getsockname()) if IS_ROOT else None)
    listener, events, lines = EventListener(dirs), [], []
    readers = [threading.Thread(target=slow_reader, args=args) for args in ((listener.sock, events), (syslog, lines))]
    for reader in readers:
        reader.start()
    ua = UserAgent(dirs)
    for i in range(burst):
        ua.confirm(True, 0, True, user="u%d" % i, password=passwords[0], addr="192.0.2.10", port=str(10000 + i))
    bob = dict(user="bob", password=passwords[1], addr="192.0.2.1", port="5060")
    ua.confirm(False, 7, False, **bob)  # the trunk towards a master fails and recovers
    ua.confirm(True, 0, False, **bob)
    try:
        wait_for(lambda: len(events) >= burst + 2, timeout=60, what="%d notifications" % (burst + 2))
        texts = [unpack(e)[2] for e in events]
        assert texts[:burst] == [
            "Successfully registered user u%d(192.0.2.10:%d) on master device " % (i, 10000 + i) for i in range(burst)]
        assert [t.split(" ")[:2] for t in texts[burst:]] == [["Could", "not"], ["Successfully", "registered"]]
        if IS_ROOT:
            wait_for(lambda: len(lines) >= burst + 2, what="every notification in syslog")
        assert not [d for d in events + lines for p in passwords if p.encode() in d]
        assert not [l for l in agent.trace_lines() if "notifications lost" in l]
    finally:
        for s in (listener.sock, syslog):
            s.shutdown(socket.SHUT_RDWR)
            s.close()
        for reader in readers:
            reader.join()
        ua.close()
