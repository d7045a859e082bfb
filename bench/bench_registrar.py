#!/usr/bin/python3
"""The registrar under REGISTER load, side by side with Kamailio: SIPp
registers 1,000 accounts (unique users, digest authentication, one SIPp call a
registration: REGISTER, 401, REGISTER with credentials, 200) on

  ours         siptrunk-ua with siptrunk-agent and its store (the accounts are
               the agent's master list; every accepted REGISTER is confirmed to
               the agent, which commits it to its SQLite store);
  kam-mem      Kamailio's registrar, usrloc db_mode 0 (contacts in memory);
  kam-db1      usrloc db_mode 1 (written through to SQLite), two workers, the
               SQLite file in its default rollback journal;
  kam-db1-wal  db_mode 1, one worker, the SQLite file in WAL mode;

each with auth_db (Kamailio) or the master list (ours) holding the same
1,000 users. For each it finds the highest rate at which a step of calls ends
with zero failed calls and zero retransmissions (doubling, then bisecting),
times the registrations at half that rate from SIPp's message log
(-trace_msg: microsecond timestamps, where SIPp's own rtt timer moves in 4 ms
steps), and reads resident memory at rest with 1,000 bindings and at the
highest rate. Every point is tried twice before it counts as failed, and the
timing run is made twice with the better one kept, since the machine may be
shared.

For ours, a step also counts as failed when the agent has not committed
every confirmation within CATCH_UP seconds of SIPp's last answer (the UA
answers 200 before the agent's commit, so a rate the agent cannot sustain
would otherwise pass).

Everything runs on loopback inside a private network namespace. Figures are
printed, never asserted."""
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import threading
import time

import benchsupport as bs

sys.path.insert(0, os.path.join(bs.SOURCE_DIR, "tests", "interop"))
from uaharness import UaProcess, kamailio_modules  # noqa: E402

SCENARIO = os.path.join(bs.BENCH_DIR, "sipp", "register.xml")
SIPP_ADDRESS = "127.0.0.1"
CATCH_UP = 1.0


def add_options(parser):
    parser.add_argument("--accounts", type=int, default=1000, help="accounts registered (default 1000)")
    parser.add_argument("--start-rate", type=int, default=200, help="first rate tried, registrations/s")
    parser.add_argument("--max-rate", type=int, default=20000, help="no rate above this is tried")
    parser.add_argument("--bisect", type=int, default=3, help="bisection steps after the doubling")
    parser.add_argument("--step-seconds", type=float, default=2.0, help="length of a step at its rate")
    parser.add_argument("--rest", type=float, default=9.0,
                        help="seconds between the warm-up and the memory at rest (past the UA's 8 s hold)")
    parser.add_argument("--targets", default="ours,kam-mem,kam-db1,kam-db1-wal",
                        help="comma-separated subset of ours, kam-mem, kam-db1, kam-db1-wal")


# --- memory ----------------------------------------------------------------------

def status_kb(pid, key):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def pss_kb(pid):
    try:
        return bs.smaps_rollup(pid).get("Pss", 0)
    except OSError:
        return 0


def children_of(pid):
    """Direct children of pid (Kamailio's workers are children of its main process)."""
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open("/proc/%s/stat" % name) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == pid:
                    found.append(int(name))
            except (OSError, IndexError, ValueError):
                pass
    return found


class MemorySampler:
    """Samples a target's memory every 100 ms in a thread while a step runs; keeps the largest."""

    def __init__(self, target):
        self.target, self.peak, self.stop_flag = target, {}, threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop_flag.wait(0.1):
            for key, value in self.target.memory().items():
                self.peak[key] = max(self.peak.get(key, 0), value)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop_flag.set()
        self.thread.join()


# --- the targets -----------------------------------------------------------------

def account(i):
    return "user%04d" % i, "pw%04d" % i


class Ours:
    name = "ours"
    durability = ("the UA's binding file and the agent's store: SQLite WAL, one fdatasync per burst in each "
                  "(the UA's within 10 ms of the 200, before it confirms to the agent; the agent's after each run "
                  "of confirmations)")

    def __init__(self, args, address):
        self.args, self.address = args, address
        self.tools = bs.tools_of(args)
        self.dirs = bs.fresh_dirs(args, "registrar-ours")
        self.agent = self.ua = None
        self.ua_args = ["--listen", "%s:5060" % address, "--transport", "udp", "--min-expires", "60"]
        help_text = subprocess.run([self.tools.path("siptrunk-ua"), "--help"], capture_output=True, text=True).stdout
        # The flood guard answers 503 past its budget per hold window; the
        # benchmark lifts it so that the rate found is the registrar's own.
        if "--max-transactions" in help_text:
            lifted = ["--max-transactions", "1000000"]
            if "--max-held" in help_text:
                lifted += ["--max-held", "1000000"]
            self.ua_args += lifted
            self.note = "UA + agent, flood guard lifted (%s)" % " ".join(lifted)
        else:
            self.note = "UA + agent, flood guard at its defaults"

    def start(self):
        tools, dirs = self.tools, self.dirs
        bs.store_edit(tools, dirs, "roles", "master", "on")
        bs.insert_rows(dirs, "sip_trunks", ("name", "user", "password", "symmetric_nat"),
                       [("trunk%04d" % i,) + account(i) + (0,) for i in range(self.args.accounts)])
        self.agent = bs.AgentProcess(tools, dirs).start()
        self.ua = UaProcess(tools, dirs, self.ua_args).start()
        self.ua.wait_log("UA: master list: %d accounts, active" % self.args.accounts, timeout=60)
        return self

    def memory(self):
        return {"ua_anon_kb": status_kb(self.ua.proc.pid, "RssAnon"), "ua_rss_kb": status_kb(self.ua.proc.pid, "VmRSS"),
                "agent_anon_kb": status_kb(self.agent.pid, "RssAnon"),
                "agent_rss_kb": status_kb(self.agent.pid, "VmRSS")}

    def describe_memory(self, m):
        return "UA RssAnon %d kB (VmRSS %d), agent RssAnon %d kB (VmRSS %d)" % (
            m.get("ua_anon_kb", 0), m.get("ua_rss_kb", 0), m.get("agent_anon_kb", 0), m.get("agent_rss_kb", 0))

    def _agent_writes(self):
        with open("/proc/%d/io" % self.agent.pid) as f:
            io = dict(line.split(":") for line in f)
        with open("/proc/%d/stat" % self.agent.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(io["syscw"]), int(fields[11]) + int(fields[12])

    def caught_up(self, ended):
        """Seconds after SIPp's end until the agent stopped writing and
        computing (unchanged for 200 ms), the quiet time not counted."""
        last, last_change = self._agent_writes(), time.monotonic()
        while time.monotonic() - last_change < 0.2:
            time.sleep(0.02)
            now = self._agent_writes()
            if now != last:
                last, last_change = now, time.monotonic()
            if time.monotonic() - ended > 30:
                break
        return max(0.0, last_change - ended)

    def bindings(self):
        return bs.store_count(self.dirs, "registered_slaves")

    def stop(self):
        if self.ua:
            self.ua.stop()
        if self.agent:
            bs.stop_agent(self.agent)


KAMAILIO_CFG = """#!KAMAILIO
debug=0
log_stderror=yes
children=%(children)d
auto_aliases=no
listen=udp:%(address)s:5060
mpath="%(mpath)s"
loadmodule "db_sqlite.so"
loadmodule "sl.so"
loadmodule "textops.so"
loadmodule "pv.so"
loadmodule "usrloc.so"
loadmodule "registrar.so"
loadmodule "auth.so"
loadmodule "auth_db.so"
loadmodule "ctl.so"
loadmodule "kex.so"
modparam("ctl", "binrpc", "unix:%(ctl)s")
modparam("auth_db", "db_url", "sqlite:///%(db)s")
modparam("auth_db", "calculate_ha1", yes)
modparam("auth_db", "password_column", "password")
modparam("auth_db", "load_credentials", "")
modparam("usrloc", "db_url", "sqlite:///%(db)s")
modparam("usrloc", "db_mode", %(db_mode)d)

request_route {
    if (!is_method("REGISTER")) { sl_send_reply("405", "Method Not Allowed"); exit; }
    if (!www_authorize("$td", "subscriber")) { www_challenge("$td", "1"); exit; }
    if (!save("location")) { sl_reply_error(); }
    exit;
}
"""

SCHEMA_DIR = "/usr/share/kamailio/db_sqlite"


class Kamailio:
    def __init__(self, args, address, name, db_mode, children, wal):
        self.args, self.address, self.name = args, address, name
        self.db_mode, self.children, self.wal = db_mode, children, wal
        self.root = os.path.join(args.work_dir, "registrar-" + name)
        self.proc = None
        self.note = "%d worker%s, usrloc db_mode %d%s" % (children, "" if children == 1 else "s", db_mode,
                                                          ", SQLite in WAL mode" if wal else "")
        if db_mode == 0:
            self.durability = "none (contacts in memory; auth_db reads SQLite)"
        else:
            self.durability = "usrloc write-through to SQLite, %s, synchronous=FULL (SQLite's default)" % (
                "WAL" if wal else "rollback journal")

    def start(self):
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.root)
        self.db = os.path.join(self.root, "kamailio.sqlite")
        db = sqlite3.connect(self.db)
        for part in ("standard", "auth_db", "usrloc"):
            with open(os.path.join(SCHEMA_DIR, "%s-create.sql" % part)) as f:
                db.executescript(f.read())
        with db:
            db.executemany("INSERT INTO subscriber (username, domain, password) VALUES (?, ?, ?)",
                           [(u, self.address, p) for u, p in map(account, range(self.args.accounts))])
        if self.wal:
            db.execute("PRAGMA journal_mode=WAL")
        db.close()
        self.ctl = os.path.join(self.root, "kam.ctl")
        cfg = os.path.join(self.root, "kamailio.cfg")
        with open(cfg, "w") as f:
            f.write(KAMAILIO_CFG % {"children": self.children, "address": self.address, "mpath": kamailio_modules(),
                                    "ctl": self.ctl, "db": self.db, "db_mode": self.db_mode})
        self.log_path = os.path.join(self.root, "kamailio.log")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(["kamailio", "-f", cfg, "-DD", "-E", "-w", self.root, "-P",
                                      os.path.join(self.root, "kam.pid"), "-Y", self.root],
                                     stdout=self.log, stderr=subprocess.STDOUT)
        bs.wait_for(lambda: os.path.exists(self.ctl) or self.proc.poll() is not None, 15, "kamailio's control socket")
        if self.proc.poll() is not None:
            raise RuntimeError("kamailio did not start:\n" + open(self.log_path).read())
        return self

    def processes(self):
        return [self.proc.pid] + children_of(self.proc.pid)

    def memory(self):
        pids = self.processes()
        return {"pss_kb": sum(pss_kb(p) for p in pids), "anon_kb": sum(status_kb(p, "RssAnon") for p in pids),
                "processes": len(pids)}

    def describe_memory(self, m):
        return "Pss %d kB over %d processes (RssAnon %d kB; shared memory counted in Pss)" % (
            m.get("pss_kb", 0), m.get("processes", 0), m.get("anon_kb", 0))

    def caught_up(self, ended):
        return 0.0

    def bindings(self):
        out = subprocess.run(["kamcmd", "-s", "unix:" + self.ctl, "stats.get_statistics", "usrloc:"],
                             capture_output=True, text=True, timeout=30).stdout
        found = re.search(r"location_contacts\s*=\s*(\d+)", out)
        return int(found.group(1)) if found else -1

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc:
            self.log.close()


# --- SIPp ------------------------------------------------------------------------

class Step:
    """One SIPp run: `calls` registrations at `rate` per second."""

    def __init__(self, ok, rate, calls, successful, failed, retransmissions, seconds, catch_up, why=""):
        self.ok, self.rate, self.calls = ok, rate, calls
        self.successful, self.failed, self.retransmissions = successful, failed, retransmissions
        self.seconds, self.catch_up, self.why = seconds, catch_up, why

    def __str__(self):
        text = "%6d/s %5d calls: %5d ok, %d failed, %d retransmissions, %.2f s" % (
            self.rate, self.calls, self.successful, self.failed, self.retransmissions, self.seconds)
        if self.catch_up:
            text += ", agent done %.2f s after SIPp" % self.catch_up
        return text + ("" if self.ok else "  FAIL" + (" (%s)" % self.why if self.why else ""))


class Sipp:
    def __init__(self, args, scratch):
        self.args, self.scratch = args, scratch
        self.inf = os.path.join(scratch, "accounts.csv")
        with open(self.inf, "w") as f:
            f.write("SEQUENTIAL\n")
            for i in range(args.accounts):
                user, password = account(i)
                f.write("%s;dev%04d;[authentication username=%s password=%s];3600\n" % (user, i, user, password))
        self.port = 5070

    def run(self, target, rate, calls, limit=None, trace=None):
        """A Step; with trace, SIPp's message log goes to that file."""
        self.port += 1
        stat = os.path.join(self.scratch, "stat.csv")
        for leftover in (stat, trace):
            if leftover and os.path.exists(leftover):
                os.unlink(leftover)
        command = ["sipp", "%s:5060" % target.address, "-sf", SCENARIO, "-inf", self.inf, "-i", SIPP_ADDRESS,
                   "-p", str(self.port), "-t", "u1", "-r", str(rate), "-rp", "1000", "-m", str(calls),
                   "-nostdin", "-timeout", "%ds" % (calls // max(rate, 1) + 20), "-timeout_error",
                   "-trace_stat", "-stf", stat, "-fd", "60", "-max_socket", "65000"]
        if limit:
            command += ["-l", str(limit)]
        if trace:
            command += ["-trace_msg", "-message_file", trace]
        started = time.monotonic()
        code = subprocess.run(command, cwd=self.scratch, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        ended = time.monotonic()
        catch_up = target.caught_up(ended)
        counts = self.last_stat(stat)
        successful = int(counts.get("SuccessfulCall(C)", 0))
        failed = int(counts.get("FailedCall(C)", 0))
        retrans = int(counts.get("Retransmissions(C)", 0))
        why = ""
        if code != 0:
            why = "sipp exit %d" % code
        elif catch_up > CATCH_UP:
            why = "agent behind"
        ok = not why and failed == 0 and retrans == 0 and successful == calls
        return Step(ok, rate, calls, successful, failed, retrans, ended - started, catch_up, why)

    @staticmethod
    def last_stat(path):
        try:
            with open(path) as f:
                lines = [line.rstrip("\n") for line in f if line.strip()]
        except OSError:
            return {}
        if len(lines) < 2:
            return {}
        return dict(zip(lines[0].split(";"), lines[-1].split(";")))


# --- registration times from SIPp's message log ------------------------------------------

MESSAGE_HEAD = re.compile(r"^-{20,} (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+)")


def registration_times(trace):
    """Milliseconds from each call's first REGISTER sent to its 200 received."""
    first_sent, done = {}, {}
    stamp = direction = status = None
    with open(trace, errors="replace") as f:
        for line in f:
            head = MESSAGE_HEAD.match(line)
            if head:
                clock = head.group(1)
                seconds = time.mktime(time.strptime(clock.split(".")[0], "%Y-%m-%d %H:%M:%S"))
                stamp = seconds + float("0." + clock.split(".")[1])
                direction = status = None
                continue
            if stamp is None:
                continue
            if direction is None and "message sent" in line:
                direction = "sent"
            elif direction is None and "message received" in line:
                direction = "received"
            elif line.startswith("SIP/2.0 "):
                status = line.split()[1]
            elif line.lower().startswith("call-id:"):
                call = line.split(":", 1)[1].strip()
                if direction == "sent":
                    first_sent.setdefault(call, stamp)
                elif direction == "received" and status == "200" and call in first_sent:
                    done.setdefault(call, stamp)
    return [(done[c] - first_sent[c]) * 1000.0 for c in done]


# --- the search --------------------------------------------------------------------

def calls_at(args, rate):
    """A step lasts --step-seconds, but has at least 200 calls (or 8 s of them at a low rate)."""
    return min(args.accounts * 3, max(int(rate * args.step_seconds), min(200, int(rate * 8))))


def try_twice(sipp, target, rate, calls):
    first = sipp.run(target, rate, calls)
    print("    " + str(first))
    sys.stdout.flush()
    if first.ok:
        return first
    second = sipp.run(target, rate, calls)
    print("    " + str(second) + "  (second try)")
    sys.stdout.flush()
    return second


def highest_rate(args, sipp, target):
    """The highest rate with a clean step (doubling from --start-rate, then bisecting), and that step."""
    best = None
    rate = args.start_rate
    failed_at = None
    while rate <= args.max_rate:
        step = try_twice(sipp, target, rate, calls_at(args, rate))
        if not step.ok:
            failed_at = rate
            break
        best = step
        rate *= 2
    if best is None:
        # Even the first rate failed: go down until one passes.
        rate = failed_at // 2
        while rate >= 5:
            step = try_twice(sipp, target, rate, calls_at(args, rate))
            if step.ok:
                best = step
                break
            failed_at, rate = rate, rate // 2
        if best is None:
            return None
    if failed_at is None:
        return best
    low, high = best.rate, failed_at
    for _ in range(args.bisect):
        middle = (low + high) // 2
        if middle in (low, high):
            break
        step = try_twice(sipp, target, middle, calls_at(args, middle))
        if step.ok:
            best, low = step, middle
        else:
            high = middle
    return best


def measure(args, sipp, target):
    bs.heading("%s: %s" % (target.name, target.note))
    print("durability: %s" % target.durability)
    result = {"target": target}
    target.start()
    try:
        time.sleep(0.5)
        result["start"] = target.memory()
        print("  after start, no binding: %s" % target.describe_memory(result["start"]))
        # Every account registered once, one call at a time (so that a
        # registrar failing under concurrency still gets its 1,000 bindings), then at rest.
        warm = sipp.run(target, 2000, args.accounts, limit=1)
        print("  warm-up (one call at a time): %s" % warm)
        # At rest: after the UA's hold window (8 s), when the stack has let
        # go of every answered transaction.
        time.sleep(args.rest)
        result["bindings"] = target.bindings()
        result["rest"] = target.memory()
        print("  at rest with %d bindings: %s" % (result["bindings"], target.describe_memory(result["rest"])))

        print("  rate search (zero failures, zero retransmissions; each point tried twice before it fails):")
        best = highest_rate(args, sipp, target)
        result["best"] = best
        if best is None:
            print("  no rate passed")
            return result
        print("  highest clean rate: %d/s" % best.rate)

        with MemorySampler(target) as sampler:
            again = sipp.run(target, best.rate, calls_at(args, best.rate))
        result["peak"] = sampler.peak
        print("  at %d/s again (%s): peak %s" % (best.rate, "clean" if again.ok else "not clean",
                                                 target.describe_memory(sampler.peak)))

        half = max(1, best.rate // 2)
        timings = []
        for attempt in range(2):
            trace = os.path.join(sipp.scratch, "messages-%s-%d.log" % (target.name, attempt))
            step = sipp.run(target, half, calls_at(args, half), trace=trace)
            times = registration_times(trace)
            os.unlink(trace)
            if times:
                timings.append((bs.percentile(times, 0.99), bs.percentile(times, 0.5), len(times), step))
                print("  at %d/s: p50 %.2f ms, p99 %.2f ms over %d registrations (%s)" % (
                    half, timings[-1][1], timings[-1][0], len(times), "clean" if step.ok else "not clean"))
        if timings:
            p99, p50, count, _ = min(timings, key=lambda t: t[0])
            result["timing"] = (half, p50, p99, count)
    finally:
        target.stop()
    return result


def main():
    args = bs.parse_args(__doc__.split("\n")[0], add_options)
    bs.run_in_private_netns()
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    for program in ("sipp", "kamailio", "kamcmd"):
        if not shutil.which(program):
            sys.exit("%s is not installed (Debian: sip-tester, kamailio, kamailio-sqlite-modules)" % program)
    if not os.access(os.path.join(args.build_dir, "siptrunk-ua"), os.X_OK):
        sys.exit("siptrunk-ua is not built in %s" % args.build_dir)
    bs.heading("Registrar under REGISTER load (%d accounts, digest authentication)" % args.accounts)
    bs.print_machine(args.work_dir)
    print("kamailio: %s" % subprocess.run(["kamailio", "-v"], capture_output=True, text=True).stdout.splitlines()[0])
    print("sipp:     %s" % subprocess.run(["sipp", "-v"], capture_output=True, text=True).stdout.strip().splitlines()[0])

    scratch = os.path.join(args.work_dir, "registrar-sipp")
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    sipp = Sipp(args, scratch)
    makers = {
        "ours": lambda: Ours(args, "127.0.0.2"),
        "kam-mem": lambda: Kamailio(args, "127.0.0.3", "kam-mem", 0, 2, False),
        "kam-db1": lambda: Kamailio(args, "127.0.0.4", "kam-db1", 1, 2, False),
        "kam-db1-wal": lambda: Kamailio(args, "127.0.0.5", "kam-db1-wal", 1, 1, True),
    }
    results = []
    started = time.monotonic()
    for name in args.targets.split(","):
        results.append(measure(args, sipp, makers[name]()))

    bs.heading("Summary (load average now %s; the machine may be shared)" % bs.load_average())
    print("%-12s %12s %10s %10s %28s %28s" % ("registrar", "max rate/s", "p50 ms", "p99 ms",
                                              "memory at rest (%d)" % args.accounts,
                                              "memory at max rate"))
    for r in results:
        t = r["target"]
        best = r.get("best")
        half, p50, p99, _ = r.get("timing", (0, 0.0, 0.0, 0))

        def mem(m):
            if not m:
                return "-"
            if "ua_anon_kb" in m:
                return "UA %d + agent %d kB anon" % (m["ua_anon_kb"], m["agent_anon_kb"])
            return "Pss %d kB" % m["pss_kb"]
        print("%-12s %12s %10.2f %10.2f %28s %28s" % (t.name, best.rate if best else "-", p50, p99,
                                                      mem(r.get("rest")), mem(r.get("peak"))))
        # Memory in kB: the UA's and the agent's RssAnon for ours, Kamailio's Pss.
        rest, peak = r.get("rest") or {}, r.get("peak") or {}
        key = "ua_anon_kb" if "ua_anon_kb" in rest else "pss_kb"
        print("RESULT registrar=%s max_rate=%d p50_ms=%.2f p99_ms=%.2f at_rate=%d bindings=%d rest_kb=%d peak_kb=%d "
              "agent_rest_kb=%d" % (t.name, best.rate if best else 0, p50, p99, half, r.get("bindings", 0),
                                    rest.get(key, 0), peak.get(key, 0), rest.get("agent_anon_kb", 0)))
    for r in results:
        print("durability %-12s %s" % (r["target"].name, r["target"].durability))
    ours = next((r for r in results if r["target"].name == "ours"), None)
    durable = [r["best"].rate for r in results if r["target"].name.startswith("kam-db1") and r.get("best")]
    if ours:
        best = ours.get("best")
        print("target ours max rate >= Kamailio's best durable rate (%s/s): %s/s" % (
            max(durable) if durable else "-", best.rate if best else "-"))
        print("target ours p99 < 50 ms at half our maximum: %.2f ms" % ours.get("timing", (0, 0, 0, 0))[2])
        print("target UA RssAnon < 4096 kB at rest with 1,000 bindings: %d kB (with %d)" % (
            ours.get("rest", {}).get("ua_anon_kb", 0), ours.get("bindings", 0)))
    print("benchmark time: %.0f s" % (time.monotonic() - started))


if __name__ == "__main__":
    main()
