"""What the benchmarks share: the system-test harness (agentharness.py, imported
from tests/system), the command line, scratch directories on the disk under
test, the machine's description, and readers of the daemon's /proc figures.

Benchmarks print figures; they never assert timings. They need root (the
agent runs inside `unshare -n`, so its regulator never touches the host's
nftables) and the binaries of one build directory."""
import argparse
import os
import platform
import re
import shutil
import socket
import sqlite3
import struct
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(BENCH_DIR)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "system"))

from agentharness import (IS_ROOT, AgentDirs, AgentProcess, BuildTools, EventListener,  # noqa: E402,F401
                          UserAgent, pack, store_edit, unpack, wait_for)

# Linux values; Python's socket module does not name them.
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
SCM_TIMESTAMPNS = SO_TIMESTAMPNS
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
MAPPING_HEADER = re.compile(r"^[0-9a-f]+-[0-9a-f]+$")


def parse_args(description, extra=None):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--build-dir", default=os.environ.get("SIPTRUNK_BUILD_DIR", os.path.join(SOURCE_DIR, "build")),
                        help="CMake build directory with siptrunk-agent, siptrunkctl and bench/store_commit_bench")
    parser.add_argument("--work-dir", default=None,
                        help="where the agents' directories (store, sockets, log) are made; it should be on the "
                             "disk under test, not tmpfs (default: BUILD_DIR/bench-work)")
    parser.add_argument("--agent-binary", default=None,
                        help="measure this siptrunk-agent instead of BUILD_DIR's (the tools still come from BUILD_DIR)")
    if extra:
        extra(parser)
    args = parser.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    if args.work_dir is None:
        args.work_dir = os.path.join(args.build_dir, "bench-work")
    args.work_dir = os.path.abspath(args.work_dir)
    os.makedirs(args.work_dir, exist_ok=True)
    missing = [name for name in ("siptrunk-agent", "siptrunkctl")
               if not os.access(os.path.join(args.build_dir, name), os.X_OK)]
    if missing:
        parser.error("%s not built in %s" % (", ".join(missing), args.build_dir))
    if not IS_ROOT:
        parser.error("run as root: the agent runs in a private network namespace (unshare -n)")
    return args


PRIVATE_NETNS_MARK = "SIPTRUNK_BENCH_PRIVATE_NETNS"


def run_in_private_netns(dgram_queue=4096):
    """Runs this script again inside `unshare -n` (once) and raises the network
    namespace's net.unix.max_dgram_qlen there, so that a listener reading in
    batches finds every notification queued (the default of 10 would make the
    agent's non-blocking sends drop the rest). The host's setting is untouched;
    the agents run in namespaces of their own below this one."""
    if os.environ.get(PRIVATE_NETNS_MARK) != "1":
        if not IS_ROOT:
            sys.exit("run as root: the benchmark and the agent run in private network namespaces")
        os.environ[PRIVATE_NETNS_MARK] = "1"
        sys.stdout.flush()
        os.execvp("unshare", ["unshare", "-n", "--", sys.executable] + sys.argv)
    with open("/proc/sys/net/unix/max_dgram_qlen", "w") as f:
        f.write("%d\n" % dgram_queue)


def fresh_dirs(args, name):
    """AgentDirs in WORK_DIR/NAME, emptied first."""
    root = os.path.join(args.work_dir, name)
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    return AgentDirs(root)


def tools_of(args):
    tools = BuildTools(args.build_dir)
    if args.agent_binary:
        tools.agent_dir = os.path.dirname(os.path.abspath(args.agent_binary))
        tools.agent_binary = os.path.abspath(args.agent_binary)
    return tools


# --- figures ---------------------------------------------------------------------

def percentile(values, fraction):
    """Nearest-rank percentile of a non-empty list."""
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, int(round(fraction * (len(ordered) - 1)))))
    return ordered[index]


def median(values):
    return percentile(values, 0.5)


def heading(text):
    print()
    print(text)
    print("=" * len(text))
    sys.stdout.flush()


# --- the machine -----------------------------------------------------------------

def _first_line_with(path, key):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "?"


def filesystem_of(path):
    """(device, type, mount point) of the file system holding path."""
    out = subprocess.run(["df", "--output=source,fstype,target", path], capture_output=True, text=True)
    lines = out.stdout.strip().splitlines()
    if out.returncode != 0 or len(lines) < 2:
        return ("?", "?", "?")
    parts = lines[1].split()
    return tuple(parts[:3]) if len(parts) >= 3 else ("?", "?", "?")


def describe_disk(device):
    """Model and kind of the block device behind /dev/NAME, as far as sysfs tells."""
    name = os.path.basename(device)
    base = "/sys/class/block/%s" % name
    if not os.path.exists(base):
        return "?"
    def read(rel):
        try:
            with open(os.path.join(base, rel)) as f:
                return f.read().strip()
        except OSError:
            return ""
    driver = os.path.basename(os.path.realpath(os.path.join(base, "device", "driver"))) if os.path.exists(
        os.path.join(base, "device", "driver")) else ""
    parts = [p for p in (read("device/model"), driver and "driver " + driver,
                         "write cache: " + read("queue/write_cache") if read("queue/write_cache") else "") if p]
    return ", ".join(parts) or "?"


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "?"


def print_machine(work_dir, agent_binary=None):
    device, fstype, mount = filesystem_of(work_dir)
    print("machine: %d CPUs (nproc), %s" % (os.cpu_count() or 0, _first_line_with("/proc/cpuinfo", "model name")))
    print("kernel:  %s %s" % (platform.system(), platform.release()))
    print("memory:  %s" % _first_line_with("/proc/meminfo", "MemTotal"))
    print("load:    %s (load averages now; other jobs on the machine move every figure here)" % load_average())
    print("disk:    %s (%s, mounted on %s) %s" % (device, fstype, mount, describe_disk(device)))
    print("work dir: %s" % work_dir)
    if fstype in ("tmpfs", "ramfs"):
        print("note: the work dir is in memory (%s): commits reach no disk; use --work-dir on a disk" % fstype)
    if agent_binary:
        print("agent:   %s" % os.path.abspath(agent_binary))
    sys.stdout.flush()


# --- the daemon's /proc figures ----------------------------------------------------

def task_ids(pid):
    try:
        return sorted(int(t) for t in os.listdir("/proc/%d/task" % pid))
    except OSError:
        return []


def thread_cpu_ns(pid):
    """{tid: CPU time so far in ns} over the threads alive now (schedstat)."""
    result = {}
    for tid in task_ids(pid):
        try:
            with open("/proc/%d/task/%d/schedstat" % (pid, tid)) as f:
                result[tid] = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return result


def cpu_ns(pid):
    """CPU time of every thread of the process so far, in ns (schedstat)."""
    return sum(thread_cpu_ns(pid).values())


def cpu_ticks(pid):
    """utime + stime of the process (all threads), in clock ticks."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def context_switches(pid):
    """{tid: (voluntary, nonvoluntary)} over the threads alive now."""
    result = {}
    for tid in task_ids(pid):
        volunteered = forced = 0
        try:
            with open("/proc/%d/task/%d/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        volunteered = int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches:"):
                        forced = int(line.split()[1])
        except OSError:
            continue
        result[tid] = (volunteered, forced)
    return result


def status_fields(pid, names):
    """Chosen lines of /proc/PID/status, in kB."""
    found = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in names:
                found[key] = int(value.split()[0])
    return found


def smaps_rollup(pid):
    found = {}
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            parts = value.split()
            if len(parts) == 2 and parts[1] == "kB":
                found[key] = int(parts[0])
    return found


def smaps_by_mapping(pid):
    """[(name, rss kB, pss kB)] per mapped object (libraries, [heap], [stack], anonymous), largest first."""
    totals = {}
    name = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            head = line.split()
            if not head:
                continue
            if MAPPING_HEADER.match(head[0]):
                # A mapping's header: address perms offset dev inode [name]
                name = " ".join(head[5:]) if len(head) >= 6 else "[anonymous]"
                totals.setdefault(name, [0, 0])
            elif head[0] == "Rss:" and name is not None:
                totals[name][0] += int(head[1])
            elif head[0] == "Pss:" and name is not None:
                totals[name][1] += int(head[1])
    return sorted(((n, r, p) for n, (r, p) in totals.items()), key=lambda item: -item[1])


# --- store and event helpers ---------------------------------------------------------

def master_with_one_trunk(tools, dirs):
    """Master role on, one SIP trunk, written before the agent starts."""
    store_edit(tools, dirs, "roles", "master", "on")
    store_edit(tools, dirs, "trunk", "add", "trunk1", "alice", password="secret")


def insert_rows(dirs, table, columns, rows):
    """Writes rows straight into the store (before the agent starts), one transaction."""
    db = sqlite3.connect(dirs.store)
    try:
        with db:
            db.executemany("INSERT INTO %s (%s) VALUES (%s)" % (table, ", ".join(columns),
                                                                 ", ".join("?" * len(columns))), rows)
    finally:
        db.close()


def store_rows(dirs, sql, params=()):
    """Rows of one query on the store, opened read-only (safe beside a running agent)."""
    db = sqlite3.connect("file:%s?mode=ro" % dirs.store, uri=True, timeout=5)
    try:
        return db.execute(sql, params).fetchall()
    finally:
        db.close()


def store_count(dirs, table):
    return store_rows(dirs, "SELECT count(*) FROM %s" % table)[0][0]


def stop_agent(agent):
    """Ends the agent with SIGTERM when it still runs, and releases its pipes."""
    try:
        if agent.running():
            agent.stop()
    finally:
        agent.kill_if_running()


class TimestampedEvents:
    """Binds eventman.sock and takes the kernel's arrival time of each
    notification (SO_TIMESTAMPNS, CLOCK_REALTIME), so that the reader need not
    wake for each one: it can sleep and read a whole batch at the end."""

    def __init__(self, dirs):
        self.listener = EventListener(dirs)
        self.sock = self.listener.sock
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 * 1024 * 1024)

    def receive(self, timeout):
        """(arrival time in s, [source, kind, text]) or None after timeout."""
        self.sock.settimeout(timeout)
        try:
            data, ancillary, _, _ = self.sock.recvmsg(65536, socket.CMSG_SPACE(16))
        except (socket.timeout, BlockingIOError):
            return None
        stamp = time.time()
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == SCM_TIMESTAMPNS and len(payload) >= 16:
                seconds, nanoseconds = struct.unpack("qq", payload[:16])
                stamp = seconds + nanoseconds / 1e9
        return stamp, unpack(data)

    def wait_for_text(self, fragment, timeout=30.0, poll_interval=0.0):
        """Arrival time of the first notification whose text holds fragment;
        with poll_interval > 0 the reader sleeps that long between reads."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if poll_interval > 0:
                time.sleep(poll_interval)
            while True:
                got = self.receive(0 if poll_interval > 0 else max(0.0, deadline - time.monotonic()))
                if got is None:
                    break
                stamp, items = got
                if len(items) == 3 and fragment in items[2]:
                    return stamp
        raise AssertionError("no notification with %r within %.0f s" % (fragment, timeout))

    def close(self):
        self.listener.close()


def connect_user_agent(dirs):
    """A user agent that said HELLO and received the first list."""
    ua = UserAgent(dirs)
    ua.set_users_list(timeout=30)
    return ua


def agent_thread_names(pid):
    names = {}
    for tid in task_ids(pid):
        try:
            with open("/proc/%d/task/%d/comm" % (pid, tid)) as f:
                names[tid] = f.read().strip()
        except OSError:
            pass
    return names
