#!/usr/bin/python3
"""Registration confirmations handled per second by the master role, with K
slaves registered already (1, 100, 1000), for four kinds of confirmation: a new
registration, a repeated one (refresh), a move (same account, other address)
and an unregistration. Each is timed from the first packet written to ua.sock
to the commit of the last one's store row; in the same run, in the same
directory, store_commit_bench gives the bare cost of one commit with the same
durability settings (WAL, synchronous=FULL).

How completion is seen without disturbing the agent: every new registration,
move and unregistration raises a notification after its row is committed, and
the agent handles one connection's packets in order. A listener on
eventman.sock takes the kernel's arrival time of each notification
(SO_TIMESTAMPNS) and reads them in batches every 100 ms, so it does not wake
per confirmation. A refresh raises none: its batch ends with one new
registration as the sentinel (counted in the time, not in N).

The K slaves are written into the store before the agent starts; it loads
them when the user agent connects. The confirmations of a round work on N
slaves added after them, so each lookup walks the whole table.

--strace N also runs the agent and the bare commit under
`strace -f -e trace=fsync,fdatasync` and prints the syncs per commit."""
import os
import shutil
import signal
import subprocess
import sys
import time

import benchsupport as bs
from agentharness import AgentProcess, call_params, pack

KINDS = ("new", "repeat", "move", "unregister")


def add_options(parser):
    parser.add_argument("--slaves", default="1,100,1000", help="registered slaves before the run (comma list)")
    parser.add_argument("--count", type=int, default=200, help="confirmations per kind and round (N)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds per slave count; the median is reported")
    parser.add_argument("--bare-commits", type=int, default=200,
                        help="commits of each bare-commit run (one before each batch, one after the last)")
    parser.add_argument("--strace", type=int, default=0, metavar="N",
                        help="also count fsync/fdatasync calls over N commits under strace (0: skip)")


# --- the confirmations -----------------------------------------------------------------

def confirmation(registered, user, password, address, port):
    return pack("CONFIRM_USER_STATE", "1" if registered else "0", "0", "1",
                *call_params(user=user, password=password, addr=address, port=port, host="bench"))


def round_accounts(round_no, count):
    """The N slaves of one round: where they register and where they move to."""
    accounts = []
    for i in range(count):
        user = "r%du%05d" % (round_no, i)
        first = ("203.0.113.%d" % (1 + i % 250), str(5060 + i // 250))
        moved = ("192.0.2.%d" % (1 + i % 250), str(6060 + i // 250))
        accounts.append((user, "secret", first, moved))
    return accounts


def batch(kind, accounts):
    """The packets of one batch and the notification text that ends it."""
    if kind in ("new", "repeat"):
        packets = [confirmation(True, u, p, a, port) for u, p, (a, port), _ in accounts]
        user, _, (address, port), _ = accounts[-1]
        return packets, "registered user %s(%s:%s)" % (user, address, port)
    if kind == "move":
        packets = [confirmation(True, u, p, a, port) for u, p, _, (a, port) in accounts]
        user, _, _, (address, port) = accounts[-1]
        return packets, "registered user %s(%s:%s)" % (user, address, port)
    packets = [confirmation(False, u, p, a, port) for u, p, _, (a, port) in accounts]
    user, _, _, (address, port) = accounts[-1]
    return packets, "unregistered user %s(%s:%s)" % (user, address, port)


SENTINEL = ("sentinel", "secret", "203.0.113.254", "9999")


class MasterUnderTest:
    """One agent with K registered slaves, its user agent and the notification listener."""

    def __init__(self, args, slaves, prefix=None, name=None):
        self.tools = bs.tools_of(args)
        self.dirs = bs.fresh_dirs(args, name or "confirm-%d" % slaves)
        self.slaves = slaves
        bs.master_with_one_trunk(self.tools, self.dirs)
        now = int(time.time())
        bs.insert_rows(self.dirs, "registered_slaves", ("user", "password", "address", "port", "since", "refreshed"),
                       [("pre%05d" % i, "secret", "198.51.100.%d" % (1 + i % 250), str(5060 + i // 250), now, now)
                        for i in range(slaves)])
        self.events = bs.TimestampedEvents(self.dirs)
        self.agent = AgentProcess(self.tools, self.dirs).start(prefix=prefix)
        self.ua = bs.connect_user_agent(self.dirs)
        # The table is loaded on the same connection before anything sent after it;
        # one registration and its withdrawal also warm the store connection.
        self.exchange(confirmation(True, "warmup", "secret", "203.0.113.253", "9999"),
                      "registered user warmup(203.0.113.253:9999)")
        self.exchange(confirmation(False, "warmup", "secret", "203.0.113.253", "9999"),
                      "unregistered user warmup(")
        rows = bs.store_count(self.dirs, "registered_slaves")
        if rows != slaves:
            raise AssertionError("the store holds %d registered slaves, %d were written" % (rows, slaves))

    def exchange(self, packet, fragment):
        self.drain()
        self.ua.sock.send(packet)
        return self.events.wait_for_text(fragment)

    def drain(self):
        while self.events.receive(0) is not None:
            pass

    def agent_pid(self):
        return self.agent.pid

    def run_batch(self, kind, accounts):
        """(time the first packet was sent, arrival time of the last notification, the agent's CPU ns
        in between): seconds of CLOCK_REALTIME, like the kernel's timestamps."""
        packets, fragment = batch(kind, accounts)
        if kind == "repeat":
            user, password, address, port = SENTINEL
            packets = packets + [confirmation(True, user, password, address, port)]
            fragment = "registered user %s(%s:%s)" % (user, address, port)
        self.drain()
        cpu_before = bs.cpu_ns(self.agent_pid())
        started = time.time()
        for packet in packets:
            self.ua.sock.send(packet)
        finished = self.events.wait_for_text(fragment, timeout=120, poll_interval=0.1)
        cpu_used = bs.cpu_ns(self.agent_pid()) - cpu_before
        if kind == "repeat":
            user, password, address, port = SENTINEL
            self.exchange(confirmation(False, user, password, address, port),
                          "unregistered user %s(%s:%s)" % (user, address, port))
        return started, finished, cpu_used

    def check_rows(self, expected, what):
        rows = bs.store_count(self.dirs, "registered_slaves")
        if rows != expected:
            raise AssertionError("after %s the store holds %d registered slaves, not %d" % (what, rows, expected))

    def check_refreshed(self, prefixes, expected):
        refreshed = sum(bs.store_rows(self.dirs, "SELECT count(*) FROM registered_slaves "
                                             "WHERE user LIKE ? || '%' AND refreshed > since", (p,))[0][0]
                        for p in prefixes)
        if refreshed != expected:
            raise AssertionError("%d refreshed rows in the store, not %d" % (refreshed, expected))

    def close(self):
        self.ua.close()
        self.events.close()
        bs.stop_agent(self.agent)


# --- bare commits ------------------------------------------------------------------------

def bare_commit(args, directory, count, prefix=()):
    binary = os.path.join(args.build_dir, "bench", "store_commit_bench")
    out = subprocess.run(list(prefix) + [binary, directory, str(count)], capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise AssertionError("store_commit_bench failed: %s" % out.stderr.strip())
    for line in out.stdout.splitlines():
        if line.startswith("RESULT "):
            return {k: float(v) for k, v in (item.split("=") for item in line.split()[1:])}
    raise AssertionError("store_commit_bench printed no RESULT line")


# --- the run ---------------------------------------------------------------------------------

def measure(args, slaves):
    """Batches and bare-commit runs alternate, bare first and last, so that each
    batch is compared with the bare runs right before and after it: this
    disk's sync time changes over minutes (docs/performance.md)."""
    bs.heading("%d registered slave%s, N = %d per kind, %d rounds" % (slaves, "" if slaves == 1 else "s",
                                                                         args.count, args.rounds))
    master = MasterUnderTest(args, slaves)
    bare = []
    batches = {kind: [] for kind in KINDS}  # (elapsed s, agent CPU ns, index of the bare run before)
    try:
        for round_no in range(args.rounds):
            accounts = round_accounts(round_no, args.count)
            registered_at = 0.0
            for kind in KINDS:
                bare.append(bare_commit(args, master.dirs.state, args.bare_commits)["commits_per_s"])
                if kind == "repeat":
                    # A refresh in the second of the stored one changes no byte of the
                    # row, and SQLite then writes nothing: let the clock move on.
                    time.sleep(max(0.0, 1.1 - (time.time() - registered_at)))
                started, finished, cpu = master.run_batch(kind, accounts)
                batches[kind].append((finished - started, cpu, len(bare) - 1))
                if kind == "new":
                    registered_at = finished
                master.check_rows(slaves if kind == "unregister" else slaves + args.count, kind)
                if kind == "repeat":
                    master.check_refreshed(["r%du" % round_no], args.count)
        bare.append(bare_commit(args, master.dirs.state, args.bare_commits))
        bare[-1] = bare[-1]["commits_per_s"]
    finally:
        master.close()

    print("bare commit: median %.1f commits/s over %d runs, %.0f..%.0f (one run before and after each batch)" % (
        bs.median(bare), len(bare), min(bare), max(bare)))
    print("%-11s %10s %18s %12s %14s %18s" % ("kind", "conf/s", "rounds min..max", "ms per conf",
                                              "agent CPU ms", "vs bare beside it"))
    summary = {}
    shares = {}
    for kind in KINDS:
        rates = [args.count / elapsed for elapsed, _, _ in batches[kind]]
        # Each batch against the mean of the bare runs right before and after it.
        ratios = [args.count / elapsed / ((bare[i] + bare[i + 1]) / 2.0) for elapsed, _, i in batches[kind]]
        cpu_ms = bs.median([cpu / 1e6 / args.count for _, cpu, _ in batches[kind]])
        summary[kind] = bs.median(rates)
        shares[kind] = bs.median(ratios)
        print("%-11s %10.1f %8.1f..%-8.1f %12.2f %14.3f %10.0f%% (%s)" % (
            kind, summary[kind], min(rates), max(rates), 1000.0 / summary[kind], cpu_ms, 100.0 * shares[kind],
            " ".join("%.0f" % (100 * r) for r in ratios)))
    print("target (a new registration costs at most two bare commits, >= 50 %%): %.0f %% -> %s" % (
        100 * shares["new"], "met" if shares["new"] >= 0.5 else "MISSED"))
    print("RESULT slaves=%d bare_per_s=%.1f %s %s" % (
        slaves, bs.median(bare), " ".join("%s_per_s=%.1f" % (k, summary[k]) for k in KINDS),
        " ".join("%s_vs_bare=%.3f" % (k, shares[k]) for k in KINDS)))
    sys.stdout.flush()


def count_syncs(trace_path, since=None, until=None):
    count = 0
    with open(trace_path) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 3 or not ("fsync(" in line or "fdatasync(" in line) or "resumed" in line:
                continue
            if since is not None:
                stamp = float(parts[1])
                if stamp < since or stamp > until:
                    continue
            count += 1
    return count


def strace_check(args, commits):
    bs.heading("Durability: fsync/fdatasync calls per commit (strace, %d commits)" % commits)
    if shutil.which("strace") is None:
        print("strace is not installed: skipped")
        return
    trace = os.path.join(args.work_dir, "strace-agent.txt")
    strace = ["strace", "-f", "-ttt", "-e", "trace=fsync,fdatasync", "-o", trace]
    master = MasterUnderTest(args, 1, prefix=strace, name="confirm-strace")
    windows = []
    try:
        accounts = round_accounts(0, commits)
        for kind in KINDS:
            if kind == "repeat":
                time.sleep(1.1)
            started, finished, _ = master.run_batch(kind, accounts)
            windows.append((kind, started, finished))
    finally:
        # The pid is strace's; the agent is its child.
        tracer = master.agent.pid
        with open("/proc/%d/task/%d/children" % (tracer, tracer)) as f:
            children = [int(c) for c in f.read().split()]
        master.ua.close()
        master.events.close()
        for child in children:
            os.kill(child, signal.SIGTERM)
        master.agent.wait_exit(timeout=30)
        master.agent.kill_if_running()
    for kind, started, finished in windows:
        # A refresh batch ends with the sentinel's new registration: one commit more.
        expected = commits + (1 if kind == "repeat" else 0)
        syncs = count_syncs(trace, started, finished)
        print("agent, %-10s: %d sync calls for %d commits = %.2f per commit" % (kind, syncs, expected,
                                                                             syncs / expected))

    bench_trace = os.path.join(args.work_dir, "strace-bench.txt")
    syncs = []
    for count in (10, 10 + commits):
        bare_commit(args, master.dirs.state, count, prefix=strace[:-1] + [bench_trace])
        syncs.append(count_syncs(bench_trace))
    print("store_commit_bench: %d sync calls for %d commits = %.2f per commit" % (
        syncs[1] - syncs[0], commits, (syncs[1] - syncs[0]) / commits))
    print("(under strace the timing is not representative; these runs only count calls)")


def main():
    args = bs.parse_args(__doc__.split("\n\n")[0], add_options)
    bs.run_in_private_netns()
    if args.count < 1 or args.rounds < 1 or args.bare_commits < 1:
        sys.exit("--count, --rounds and --bare-commits must be at least 1")
    try:
        slave_counts = [int(s) for s in args.slaves.split(",")]
    except ValueError:
        sys.exit("--slaves takes a comma list of whole numbers, e.g. 1,100,1000")
    if not os.access(os.path.join(args.build_dir, "bench", "store_commit_bench"), os.X_OK):
        sys.exit("bench/store_commit_bench is not built in %s" % args.build_dir)
    bs.heading("Issue 3: registration confirmations per second")
    bs.print_machine(args.work_dir, args.agent_binary)
    for slaves in slave_counts:
        measure(args, slaves)
    if args.strace > 0:
        strace_check(args, args.strace)


if __name__ == "__main__":
    main()
