#!/usr/bin/python3
"""Runs every benchmark in turn (`make bench`), passing each its output through,
and ends with a summary of the figures ("RESULT" lines) and the targets."""
import argparse
import os
import subprocess
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", required=True, help="CMake build directory with the binaries")
    parser.add_argument("--work-dir", default=None, help="where the agents' files go (the disk under test)")
    parser.add_argument("--idle-seconds", default="60", help="length of the idle window")
    parser.add_argument("--strace", default="50", help="commits counted under strace (0: skip)")
    args = parser.parse_args()

    common = ["--build-dir", args.build_dir] + (["--work-dir", args.work_dir] if args.work_dir else [])
    runs = [
        ("bench_confirmations.py", ["--strace", args.strace]),
        ("bench_update_latency.py", []),
        ("bench_idle.py", ["--seconds", args.idle_seconds]),
        ("bench_memory.py", []),
    ]
    summary = []
    failed = []
    for script, extra in runs:
        command = [sys.executable, os.path.join(BENCH_DIR, script)] + common + extra
        process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        for line in process.stdout:
            sys.stdout.write(line)
            sys.stdout.flush()
            if line.startswith("RESULT ") or line.startswith("target "):
                summary.append("%-24s %s" % (script, line.rstrip()))
        if process.wait() != 0:
            failed.append(script)

    print()
    print("Summary")
    print("=======")
    with open("/proc/loadavg") as f:
        print("load averages at the end: %s (1, 5, 15 min)" % " ".join(f.read().split()[:3]))
    for line in summary:
        print(line)
    if failed:
        print("benchmarks that did not finish: %s" % ", ".join(failed))
        sys.exit(1)


if __name__ == "__main__":
    main()
