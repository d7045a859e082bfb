"""Each benchmark, run small, still drives the daemon end to end and prints
its figures: catches a benchmark broken by a change to the harness, the wire
formats or the store (the scripts check row counts and answers as they go).
No timing is asserted. Run with `python3 -m pytest bench` as root;
SIPTRUNK_BUILD_DIR names the build (default build-bench, else build)."""
import os
import subprocess
import sys

import pytest

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(BENCH_DIR)


def build_dir():
    chosen = os.environ.get("SIPTRUNK_BUILD_DIR")
    if chosen:
        return os.path.abspath(chosen)
    for name in ("build-bench", "build"):
        candidate = os.path.join(SOURCE_DIR, name)
        if os.path.exists(os.path.join(candidate, "bench", "store_commit_bench")):
            return candidate
    return os.path.join(SOURCE_DIR, "build")


BUILD = build_dir()
COMMIT_BENCH = os.path.join(BUILD, "bench", "store_commit_bench")

pytestmark = [
    pytest.mark.skipif(os.geteuid() != 0, reason="the benchmarks run the agent in a network namespace (root)"),
    pytest.mark.skipif(not os.access(COMMIT_BENCH, os.X_OK), reason="store_commit_bench not built in " + BUILD),
]


def run_script(script, work_dir, *args):
    out = subprocess.run([sys.executable, os.path.join(BENCH_DIR, script), "--build-dir", BUILD,
                          "--work-dir", str(work_dir)] + list(args), capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout[-2000:] + out.stderr[-2000:]
    return out.stdout


def results(stdout):
    """The key=value figures of every RESULT line."""
    found = []
    for line in stdout.splitlines():
        if line.startswith("RESULT "):
            found.append({k: float(v) for k, v in (item.split("=") for item in line.split()[1:])})
    return found


def test_confirmations_for_every_kind_and_one_sync_per_commit(tmp_path):
    out = run_script("bench_confirmations.py", tmp_path, "--slaves", "1,20", "--count", "5", "--rounds", "1",
                     "--bare-commits", "5", "--strace", "5")
    figures = results(out)
    assert [f["slaves"] for f in figures] == [1, 20]
    for f in figures:
        for key in ("bare_per_s", "new_per_s", "repeat_per_s", "move_per_s", "unregister_per_s"):
            assert f[key] > 0
    if "strace is not installed" not in out:
        syncs = [line for line in out.splitlines() if "sync calls for" in line]
        assert len(syncs) == 5
        assert all(line.endswith("= 1.00 per commit") for line in syncs), syncs


def test_latency_idle_and_memory_print_their_figures(tmp_path):
    latency = results(run_script("bench_update_latency.py", tmp_path, "--messages", "10"))
    assert latency[0]["messages"] == 10 and 0 < latency[0]["median_ms"] <= latency[0]["max_ms"]
    idle = results(run_script("bench_idle.py", tmp_path, "--seconds", "1", "--settle", "0.2"))
    assert idle[0]["wakeups_per_s"] > 0
    memory = results(run_script("bench_memory.py", tmp_path, "--trunks", "50"))
    assert memory[0]["start_rss_kb"] > 0 and memory[0]["trunks"] == 50


@pytest.mark.skipif(not os.access(os.path.join(BUILD, "siptrunk-ua"), os.X_OK), reason="siptrunk-ua not built")
def test_registrar_under_load_beside_kamailio(tmp_path):
    out = run_script("bench_registrar.py", tmp_path, "--accounts", "20", "--max-rate", "400", "--bisect", "0",
                     "--rest", "0.5", "--targets", "ours,kam-db1-wal")
    figures = [dict(item.split("=") for item in line.split()[1:]) for line in out.splitlines()
               if line.startswith("RESULT registrar=")]
    assert [f["registrar"] for f in figures] == ["ours", "kam-db1-wal"]
    for f in figures:
        assert f["bindings"] == "20" and int(f["max_rate"]) > 0 and 0 < float(f["p50_ms"]) <= float(f["p99_ms"])


def test_store_commit_bench_checks_its_arguments(tmp_path):
    for bad in (["0"], ["-5"], ["12x"], ["1000001"], ["5", "extra"]):
        out = subprocess.run([COMMIT_BENCH, str(tmp_path)] + bad, capture_output=True, text=True)
        assert out.returncode == 2, bad
        assert "usage" in out.stderr or "COUNT must be" in out.stderr
    # The store makes one missing directory level, not two.
    missing = subprocess.run([COMMIT_BENCH, str(tmp_path / "absent" / "deeper"), "3"], capture_output=True,
                             text=True)
    assert missing.returncode == 1 and "cannot open" in missing.stderr
    ok = subprocess.run([COMMIT_BENCH, str(tmp_path), "3"], capture_output=True, text=True)
    assert ok.returncode == 0 and results(ok.stdout)[0]["commits"] == 3
    assert os.listdir(tmp_path) == [], "the bench leaves its store behind"
