#!/usr/bin/python3
"""Latency of the settings link: from an update datagram sent to cgi-117.sock
to the matching CHANGE_USER_PARAMS received on the user agent's socket.

The master role is on with one SIP trunk and a user agent is connected. Each
message adds a SIP trunk (type 4: name, user, password, symmetric NAT "0")
with a user name of its own, which the agent passes on at once as
CHANGE_USER_PARAMS (no store write on the agent's side). Messages go one at a
time, each after a random pause (uniform, 0 to --max-gap ms, fixed seed), so
they land anywhere in the listen loop's cycle; the time is taken from just
before sendto() to the return of the recv() that brought the answer."""
import random
import socket
import sys
import time

import benchsupport as bs
from agentharness import AgentProcess, pack


def add_options(parser):
    parser.add_argument("--messages", type=int, default=1000, help="messages timed")
    parser.add_argument("--max-gap", type=float, default=30.0, help="largest random pause before a message, ms")
    parser.add_argument("--seed", type=int, default=4, help="seed of the random pauses")


def one_message(ua, sender, cgi_path, index):
    user = "lat-user-%05d" % index
    datagram = pack("4", "lat-trunk-%05d" % index, user, "pw", "0")
    started = time.perf_counter()
    sender.sendto(datagram, cgi_path)
    while True:
        items = ua.receive(timeout=10)
        if items is None:
            raise AssertionError("the agent closed the user agent's connection")
        # CHANGE_USER_PARAMS, masterList, 11 old items, 11 new items: the new user is item 13.
        if items[0] == "CHANGE_USER_PARAMS" and len(items) >= 24 and items[13] == user:
            return (time.perf_counter() - started) * 1000.0


def histogram(latencies, edges):
    rows = []
    low = 0.0
    for high in edges + [float("inf")]:
        count = sum(1 for v in latencies if low <= v < high)
        label = ("%g-%g ms" % (low, high)) if high != float("inf") else (">= %g ms" % low)
        rows.append((label, count))
        low = high
    return rows


def main():
    args = bs.parse_args(__doc__.split("\n\n")[0], add_options)
    if args.messages < 1 or args.max_gap < 0:
        sys.exit("--messages must be at least 1 and --max-gap not negative")
    bs.heading("Issue 4: update message to CHANGE_USER_PARAMS latency")
    bs.print_machine(args.work_dir, args.agent_binary)
    tools = bs.tools_of(args)
    dirs = bs.fresh_dirs(args, "latency")
    bs.master_with_one_trunk(tools, dirs)
    agent = AgentProcess(tools, dirs).start()
    sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    try:
        ua = bs.connect_user_agent(dirs)
        for i in range(20):  # warm-up, not counted
            one_message(ua, sender, dirs.cgi_sock, 100000 + i)
        rng = random.Random(args.seed)
        latencies = []
        for i in range(args.messages):
            time.sleep(rng.uniform(0.0, args.max_gap / 1000.0))
            latencies.append(one_message(ua, sender, dirs.cgi_sock, i))
        ua.close()
    finally:
        sender.close()
        bs.stop_agent(agent)

    print("%d messages, random pause 0-%g ms before each (seed %d)" % (len(latencies), args.max_gap, args.seed))
    print("latency: median %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms, mean %.3f ms" % (
        bs.median(latencies), bs.percentile(latencies, 0.9), bs.percentile(latencies, 0.99), max(latencies),
        sum(latencies) / len(latencies)))
    for label, count in histogram(latencies, [0.5, 1, 2, 5, 10, 15, 20, 21]):
        print("  %-12s %5d  %s" % (label, count, "#" * int(round(60.0 * count / len(latencies)))))
    med, p99 = bs.median(latencies), bs.percentile(latencies, 0.99)
    print("target median <= 1 ms: %s; p99 <= 21 ms: %s" % ("met" if med <= 1.0 else "MISSED",
                                                          "met" if p99 <= 21.0 else "MISSED"))
    print("RESULT messages=%d median_ms=%.3f p90_ms=%.3f p99_ms=%.3f max_ms=%.3f" % (
        len(latencies), med, bs.percentile(latencies, 0.9), p99, max(latencies)))


if __name__ == "__main__":
    main()
