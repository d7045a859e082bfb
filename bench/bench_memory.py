#!/usr/bin/python3
"""The daemon's footprint: the size of its stripped binary, and its resident
memory: VmRSS (with RssAnon/RssFile and VmHWM from /proc/PID/status) and Pss
(/proc/PID/smaps_rollup), once after start with a connected user agent
(master role on, one SIP trunk), once with 1,000 SIP trunks and 1,000
registered slaves written into the store before start, so that the user
agent's connection loads and pushes the list of 1,000 and the agent holds the
table of slaves. The largest mappings (/proc/PID/smaps) show what the figure
is made of.

--agent-env NAME=VALUE (repeatable) runs the agent with extra environment,
e.g. GLIBC_TUNABLES=glibc.malloc.arena_max=1, to try options without a
rebuild; --agent-binary measures another build of the daemon (e.g. one
linked statically)."""
import os
import subprocess
import sys
import tempfile
import time

import benchsupport as bs
from agentharness import AgentProcess


def add_options(parser):
    parser.add_argument("--trunks", type=int, default=1000, help="SIP trunks of the second case")
    parser.add_argument("--slaves", type=int, default=1000, help="registered slaves of the second case")
    parser.add_argument("--settle", type=float, default=1.0, help="pause after the list arrived, before reading")
    parser.add_argument("--agent-env", action="append", default=[], metavar="NAME=VALUE",
                        help="extra environment for the agent (repeatable)")
    parser.add_argument("--mappings", type=int, default=8, help="largest mappings listed per case")


STATUS_KEYS = ("VmRSS", "VmHWM", "RssAnon", "RssFile", "RssShmem", "VmSize", "VmData", "VmStk", "Threads")


def stripped_size(binary):
    """Bytes of the binary once stripped (a stripped copy; the build is left alone)."""
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, "stripped")
        subprocess.run(["strip", "-o", copy, binary], check=True)
        return os.path.getsize(copy)


def linkage(binary):
    """"static" or "dynamic" (a dynamic binary's size leaves out its shared libraries)."""
    headers = subprocess.run(["readelf", "-lW", binary], check=True, capture_output=True, text=True).stdout
    return "dynamic" if " INTERP " in headers else "static"


def measure(args, name, label, trunks, slaves=0):
    tools = bs.tools_of(args)
    dirs = bs.fresh_dirs(args, name)
    bs.master_with_one_trunk(tools, dirs)
    if trunks > 1:
        bs.insert_rows(dirs, "sip_trunks", ("name", "user", "password", "symmetric_nat"),
                       [("trunk%05d" % i, "user%05d" % i, "password%05d" % i, i % 2) for i in range(2, trunks + 1)])
    if slaves:
        now = int(time.time())
        bs.insert_rows(dirs, "registered_slaves", ("user", "password", "address", "port", "since", "refreshed"),
                       [("slave%05d" % i, "secret", "198.51.100.%d" % (1 + i % 250), str(5060 + i // 250), now, now)
                        for i in range(slaves)])
    agent = AgentProcess(tools, dirs).start()
    try:
        ua = bs.UserAgent(dirs)
        pushed = ua.set_users_list(timeout=30)
        if len(pushed["accounts"]) != trunks:
            raise AssertionError("the list held %d accounts, not %d" % (len(pushed["accounts"]), trunks))
        time.sleep(args.settle)
        status = bs.status_fields(agent.pid, STATUS_KEYS)
        rollup = bs.smaps_rollup(agent.pid)
        mappings = bs.smaps_by_mapping(agent.pid)
        ua.close()
    finally:
        bs.stop_agent(agent)

    print()
    print("%s: %d SIP trunk%s pushed to the user agent, %d registered slaves" % (
        label, trunks, "" if trunks == 1 else "s", slaves))
    print("  VmRSS %d kB (anon %d, file %d, shmem %d), VmHWM %d kB; Pss %d kB (anon %d, file %d); "
          "VmSize %d kB, %d threads" % (status.get("VmRSS", 0), status.get("RssAnon", 0), status.get("RssFile", 0),
                                        status.get("RssShmem", 0), status.get("VmHWM", 0), rollup.get("Pss", 0),
                                        rollup.get("Pss_Anon", 0), rollup.get("Pss_File", 0),
                                        status.get("VmSize", 0), status.get("Threads", 0)))
    print("  %-52s %8s %8s" % ("largest mappings", "Rss kB", "Pss kB"))
    for mapping, rss, pss in mappings[:args.mappings]:
        print("  %-52s %8d %8d" % (mapping[-52:], rss, pss))
    rest = mappings[args.mappings:]
    print("  %-52s %8d %8d" % ("(%d others)" % len(rest), sum(r for _, r, _ in rest), sum(p for _, _, p in rest)))
    return status.get("VmRSS", 0), rollup.get("Pss", 0)


def main():
    args = bs.parse_args(__doc__.split("\n\n")[0], add_options)
    if args.trunks < 1:
        sys.exit("--trunks must be at least 1")
    for item in args.agent_env:
        key, sep, value = item.partition("=")
        if not sep or not key:
            sys.exit("--agent-env takes NAME=VALUE, not %r" % item)
        os.environ[key] = value  # AgentDirs.env() starts from this process's environment
    if args.slaves < 0:
        sys.exit("--slaves must not be negative")
    binary = bs.tools_of(args).agent_binary
    bs.heading("Footprint: stripped size and resident memory")
    bs.print_machine(args.work_dir, args.agent_binary)
    if args.agent_env:
        print("agent environment: %s" % " ".join(args.agent_env))
    size = stripped_size(binary)
    linked = linkage(binary)
    print("stripped %s: %d bytes (%.2f MB), linked %s%s" % (
        binary, size, size / 1e6, linked, "; its shared libraries are not counted" if linked == "dynamic" else ""))
    start_rss, start_pss = measure(args, "memory-start", "after start", 1)
    many_rss, many_pss = measure(args, "memory-trunks", "with %d trunks" % args.trunks, args.trunks, args.slaves)
    print()
    # The device's targets (the figures are printed, never asserted): a
    # stripped agent of at most 2.0 MB, at most 2.5 MB resident after start and
    # 3 MB with the trunks and slaves.
    print("target stripped <= 2.0 MB: %.2f MB -> %s; VmRSS <= 2.5 MB (2560 kB) after start: %d kB -> %s; "
          "<= 3 MB (3072 kB) with %d trunks + %d slaves: %d kB -> %s" % (
              size / 1e6, "n/a (dynamic)" if linked == "dynamic" else "met" if size <= 2000000 else "MISSED", start_rss, "met" if start_rss <= 2560 else "MISSED",
              args.trunks, args.slaves, many_rss, "met" if many_rss <= 3072 else "MISSED"))
    print("RESULT stripped_bytes=%d static=%d start_rss_kb=%d start_pss_kb=%d trunks=%d slaves=%d trunks_rss_kb=%d "
          "trunks_pss_kb=%d" % (size, linked == "static", start_rss, start_pss, args.trunks, args.slaves, many_rss, many_pss))


if __name__ == "__main__":
    main()
