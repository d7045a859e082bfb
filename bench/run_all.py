#!/usr/bin/python3
"""Runs every benchmark in turn (`make bench`), passing each its output through,
and ends with a summary of the figures ("RESULT" lines) and the targets. With
--device-build-dir (a build with SIPTRUNK_DEVICE_BUILD=ON) the footprint is
measured for that build too, and the two builds' figures are printed side by
side."""
import argparse
import os
import subprocess
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", required=True, help="CMake build directory with the binaries")
    parser.add_argument("--device-build-dir", default=None,
                        help="a build with the device's options (SIPTRUNK_DEVICE_BUILD=ON) whose footprint is measured too")
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
        ("bench_registrar.py", []),
    ]
    if args.device_build_dir:
        device = ["--build-dir", args.device_build_dir]
        if args.work_dir:
            device += ["--work-dir", os.path.join(args.work_dir, "device")]
        runs.append(("bench_memory.py", device, "device"))
    summary = []
    failed = []
    footprint = {}
    for script, extra, *label in runs:
        label = label[0] if label else "host"
        command = [sys.executable, os.path.join(BENCH_DIR, script)] + (extra if label == "device" else common + extra)
        name = script if label == "host" else "%s (%s)" % (script, label)
        process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        for line in process.stdout:
            sys.stdout.write(line)
            sys.stdout.flush()
            if line.startswith("RESULT ") or line.startswith("target "):
                summary.append("%-24s %s" % (name, line.rstrip()))
            if line.startswith("RESULT stripped_bytes="):
                footprint[label] = dict(item.split("=", 1) for item in line.split()[1:])
        if process.wait() != 0:
            failed.append(name)

    print()
    print("Summary")
    print("=======")
    with open("/proc/loadavg") as f:
        print("load averages at the end: %s (1, 5, 15 min)" % " ".join(f.read().split()[:3]))
    for line in summary:
        print(line)
    if footprint:
        print()
        print("Footprint (targets for the device: stripped <= 2.0 MB, VmRSS <= 2,560 kB after start, "
              "<= 3,072 kB with the trunks and slaves)")
        print("%-34s %24s %18s %26s" % ("build", "stripped bytes", "VmRSS start kB", "VmRSS trunks+slaves kB"))
        for label, title in (("device", "device options (static, -Os)"), ("host", "normal host build")):
            if label in footprint:
                f = footprint[label]
                size = f["stripped_bytes"] + (" (+ shared libs)" if f.get("static") == "0" else "")
                print("%-34s %24s %18s %26s" % (title, size, f["start_rss_kb"], f["trunks_rss_kb"]))
    if failed:
        print("benchmarks that did not finish: %s" % ", ".join(failed))
        sys.exit(1)


if __name__ == "__main__":
    main()
