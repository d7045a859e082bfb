#!/usr/bin/python3
"""The daemon's idle cost: with the master role on, one SIP trunk and a
connected user agent, no traffic for --seconds (60). CPU from the process's
utime+stime (/proc/PID/stat, clock ticks) and, finer, the sum of the threads'
run time (/proc/PID/task/*/schedstat, ns); wakeups per second from the sum of
the threads' voluntary and nonvoluntary context switches
(/proc/PID/task/*/status), also per thread. Nothing reads the process during
the window (no perf, no polling): one sample at each end."""
import sys
import time

import benchsupport as bs
from agentharness import AgentProcess


def add_options(parser):
    parser.add_argument("--seconds", type=float, default=60.0, help="length of the idle window")
    parser.add_argument("--settle", type=float, default=2.0, help="pause after the connection, before the window")


def sample(pid):
    return time.monotonic(), bs.cpu_ticks(pid), bs.thread_cpu_ns(pid), bs.context_switches(pid)


def main():
    args = bs.parse_args(__doc__.split("\n\n")[0], add_options)
    if args.seconds <= 0:
        sys.exit("--seconds must be positive")
    bs.heading("Issue 4: idle cost over %g s" % args.seconds)
    bs.print_machine(args.work_dir, args.agent_binary)
    tools = bs.tools_of(args)
    dirs = bs.fresh_dirs(args, "idle")
    bs.master_with_one_trunk(tools, dirs)
    agent = AgentProcess(tools, dirs).start()
    try:
        ua = bs.connect_user_agent(dirs)
        time.sleep(args.settle)
        names = bs.agent_thread_names(agent.pid)
        before = sample(agent.pid)
        time.sleep(args.seconds)
        after = sample(agent.pid)
        ua.close()
    finally:
        bs.stop_agent(agent)

    seconds = after[0] - before[0]
    ticks = after[1] - before[1]
    run_ns = sum(after[2].values()) - sum(before[2].get(tid, 0) for tid in after[2])
    cpu_stat = 100.0 * ticks / bs.CLOCK_TICKS / seconds
    cpu_sched = 100.0 * run_ns / 1e9 / seconds
    print("window: %.1f s, %d threads" % (seconds, len(after[3])))
    print("CPU: %.4f %% of a core from schedstat (%.3f ms run time); %.3f %% from utime+stime (%d ticks of %d ms)" % (
        cpu_sched, run_ns / 1e6, cpu_stat, ticks, 1000 // bs.CLOCK_TICKS))
    # Threads begin in this order (docs/agent.md): the entry, the teardown
    # thread, then Start's SIP and CGI listen threads; tids rise with it.
    tids = sorted(after[3])
    roles = dict(zip(tids, ("main (entry)", "teardown", "SIP listen", "CGI listen"))) if len(tids) == 4 else {}
    total = 0
    print("%-8s %-16s %12s %12s %10s %12s" % ("tid", "thread", "voluntary", "involuntary", "per s", "CPU ms"))
    for tid in sorted(after[3]):
        v1, n1 = after[3][tid]
        v0, n0 = before[3].get(tid, (0, 0))
        switches = (v1 - v0) + (n1 - n0)
        total += switches
        role = roles.get(tid, names.get(tid, "?"))
        cpu_ms = (after[2].get(tid, 0) - before[2].get(tid, 0)) / 1e6
        print("%-8d %-16s %12d %12d %10.2f %12.3f" % (tid, role, v1 - v0, n1 - n0, switches / seconds, cpu_ms))
    print("wakeups: %.2f per second (context switches of all threads)" % (total / seconds))
    print("target <= 0.2 %% of a core: %s" % ("met" if cpu_sched <= 0.2 else "MISSED"))
    print("RESULT seconds=%.1f cpu_percent=%.4f cpu_percent_ticks=%.3f wakeups_per_s=%.2f" % (
        seconds, cpu_sched, cpu_stat, total / seconds))


if __name__ == "__main__":
    main()
