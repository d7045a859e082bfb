"""Model check: long seeded random sequences of settings changes (through siptrunkctl and raw), confirmations on both
lists, user-agent reconnects, agent restarts (SIGTERM and kill -9), flushed rulesets and a full disk, against the real
daemon in a network namespace with eth0 and wan0. At quiet points four views must agree with a small model: the
agent's table, the store, what the user agent holds and the regulator's set.
SIPTRUNK_MODEL_STEPS: the number of steps (2,000 by default); SIPTRUNK_MODEL_SEED replays a run (each prints it)."""
import collections
import contextlib
import ipaddress
import json
import os
import random
import shlex
import signal
import socket
import subprocess
import time

import pytest

from agentharness import CONNECTED, IS_ROOT, STOPPED, TYPE_LINE, TraceFollower, admitted, ctl, pack, status

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for a network namespace, nftables and a tmpfs")

STEPS = int(os.environ.get("SIPTRUNK_MODEL_STEPS", "2000"))
QUIET_EVERY = 50
LAN = ipaddress.ip_network("192.0.2.0/24")
ADDRESSES = ["192.0.2.%d" % i for i in range(10, 16)] + ["198.51.100.10", "198.51.100.11"]
ODD_ADDRESSES = ["192.0.2.300", "", "abc", "192.0.2.010", "203.0.113.9", "127.0.0.1", "192.0.2.1", "192.0.2.255"]
PORTS = ["5060", "5061", "5062"]
# Lines each thread traces once it has handled everything sent to it before.
MARKS = {"cgi": TYPE_LINE % 12, "sip": "ERROR:SIP Trunk Agent(SLAVE): # user: qmark not found...\n"}
RAW = [["13"], ["-1"], ["4294967296"], [" 4x", "t", "u"], ["4", "t"], ["5", "nosuch", "other"], ["8", "nosuch"]]


def on_lan(address):
    """A dotted IPv4 address routed through eth0 (unicast and local routes only: not eth0's broadcast address)."""
    with contextlib.suppress(ValueError):
        parsed = ipaddress.IPv4Address(address)
        return parsed in LAN and parsed != LAN.broadcast_address
    return False


def settle(read, done, seconds):
    deadline, value = time.monotonic() + seconds, read()
    while not done(value) and time.monotonic() < deadline:
        time.sleep(0.05)
        value = read()
    return value


class Model:
    """What the agent should hold: the table as [user, password, address, port] in the agent's order, the store as
    (user, address, port) -> password in row order; rows written while the disk was full are uncertain."""

    def __init__(self):
        self.master = self.slave = self.full = False
        self.trunks = {}    # name -> [user, password]
        self.masters = {}   # name -> [user, password, address, port, enabled]
        self.table, self.store, self.uncertain, self.events = [], {}, set(), []  # events: master notifications

    def write(self, key, password=None):
        if self.full:
            self.uncertain.add(key)
        if password is None:
            self.store.pop(key, None)
        else:
            self.store[key] = password

    def healed(self):
        """With room on the disk again the agent writes its table into the store: the rows written meanwhile are
        the table's, or gone."""
        table = {(e[0], e[2], e[3]): e[1] for e in self.table}
        for key in self.uncertain:
            self.write(key, table.get(key))
        self.uncertain.clear()

    def drop(self, index):
        user, _, address, port = self.table.pop(index)
        self.write((user, address, port))

    def confirm_master(self, user, password, address, port, registered):
        key, who = (user, address, port), "%s(%s:%s)" % (user, address, port)
        same = [i for i, e in enumerate(self.table) if (e[0], e[2], e[3]) == key]
        if not registered:
            self.events.append("Successfully unregistered user %s from master device " % who)
            if same:
                self.drop(same[0])
        elif same:  # a refresh: the table and the store take the password it came with
            self.table[same[0]][1] = password
            self.write(key, password)
        else:
            self.events.append("Successfully registered user %s on master device " % who)
            entry = next((e for e in self.table if e[:2] == [user, password]), None)
            if entry is None:
                self.table.append([user, password, address, port])
                self.write(key, password)
            else:  # the account moves: its row moves, or merges into one stored
                old = (user, entry[2], entry[3])
                entry[2:] = [address, port]
                kept = self.store.get(key, self.store.get(old, password))
                self.write(old)
                self.write(key, kept)

    def merge_store(self):
        # The stored slaves the table lacks join it (activation, a new user agent).
        keys = {(e[0], e[2], e[3]) for e in self.table}
        self.table += [[k[0], p, k[1], k[2]] for k, p in self.store.items() if k not in keys]


class Run:
    def __init__(self, tools, dirs, namespace, rng):
        self.tools, self.dirs, self.ns, self.rng, self.m = tools, dirs, namespace, rng, Model()
        self.trace = TraceFollower(dirs.log_path)
        self.serial = self.connects = self.sigterms = self.events_offset = 0
        self.pending, self.received, self.steps_log, self.marks = set(), [], [], collections.Counter()
        self.proc = self.uasim = self.listener = self.full_until = None
        self.out = open(os.path.join(dirs.root, "agent.out"), "ab")
        self.state_file, self.events_out = (os.path.join(dirs.root, n) for n in ("ua-state.json", "events.json"))

    def start_agent(self):
        cmd = ["ip", "netns", "exec", self.ns] + self.tools.agent_prefix + [self.tools.agent_binary]
        self.proc = subprocess.Popen(cmd, env=self.dirs.env(), stdin=subprocess.DEVNULL, stdout=self.out,
                                     stderr=self.out, start_new_session=True)
        with open(self.dirs.pid_file, "w") as f:
            f.write("%d\n" % self.proc.pid)
        self.connects += 1
        self.trace.wait(CONNECTED, self.connects, timeout=60)

    def start_helpers(self):
        self.uasim = subprocess.Popen([self.tools.path("siptrunk-uasim"), "--socket", self.dirs.ua_sock, "--stay",
                                       "--state", self.state_file], env=self.dirs.env(), stdin=subprocess.PIPE,
                                      stdout=subprocess.DEVNULL, stderr=self.out)
        self.listener = subprocess.Popen([self.tools.path("siptrunkctl"), "events", "--json"], env=self.dirs.env(),
                                         stdout=open(self.events_out, "w"), stderr=subprocess.DEVNULL)
        assert settle(lambda: os.path.exists(self.dirs.event_sock), bool, 10), "the event listener did not bind"

    def ua(self, *words):
        self.uasim.stdin.write((" ".join(shlex.quote(w) for w in words) + "\n").encode())
        self.uasim.stdin.flush()

    def close(self):
        for p in (self.uasim, self.listener, self.proc):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()

    def datagram(self, payload):
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(payload, self.dirs.cgi_sock)

    def sync(self, kind):
        if kind == "cgi":
            self.datagram(pack("12"))
        else:
            self.ua("confirm", "slave", "qmark", "192.0.2.1", "5060", "1", "0")
        self.marks[kind] += 1
        self.trace.wait(MARKS[kind], self.marks[kind], timeout=60)
        self.pending.discard(kind)

    def settings(self, *args, table=False):
        """One siptrunkctl command; True when the agent took it (exit 0, or 3 while it is down)."""
        if table and "sip" in self.pending:
            self.sync("sip")  # the table changes on both threads: keep the model's order
        if "cgi" in self.pending:  # one change at a time, as the settings CGI: a message names rows as they are
            self.sync("cgi")
        code = ctl(self.tools, self.dirs, *args, check=False)[0]
        self.log("ctl", *args, "->", code)
        if code == 0:
            self.pending.add("cgi")
        return code == 0 or (code == 3 and self.proc.poll() is not None)

    def confirm(self, user, password, address, port, registered):
        if "cgi" in self.pending:
            self.sync("cgi")
        self.ua("confirm", "master", user, password, address, port, "1" if registered else "0", "0")
        self.log("confirm master", user, password, address, port, registered)
        self.m.confirm_master(user, password, address, port, registered)
        self.pending.add("sip")

    def log(self, *words):
        self.steps_log.append(" ".join(repr(w) if w == "" else str(w) for w in words))

    def step(self):
        m, rng, roll = self.m, self.rng, self.rng.random()
        n = self.serial = self.serial + 1
        if self.full_until is not None and n >= self.full_until:
            self.quiet()
            os.unlink(os.path.join(self.dirs.state, "filler"))
            m.full, self.full_until = False, None
            self.log("disk emptied")
            self.quiet()
        if roll < 0.60:
            if m.master:
                return self.confirmation()
            if rng.random() < 0.05:
                return self.role_change()
            self.ua("confirm", "slave", rng.choice([v[0] for v in m.masters.values()] + ["nobody"]),
                    "192.0.2.2", "5060", str(rng.randrange(2)), str(rng.choice([0, 0, 7, 10, 13])))
        elif roll < 0.72:
            self.trunk_change(n)
        elif roll < 0.82:
            self.master_change(n)
        elif roll < 0.84:
            items = rng.choice(RAW + [["0"] if m.master else ["13"], ["2"] if m.slave else ["13"]])
            if self.settings("send", *items, table=items == ["0"]) and items == ["0"]:
                m.merge_store()
        elif roll < 0.85:
            self.datagram(b"")
        elif roll < 0.86:
            self.role_change()
        elif roll > 0.985 and self.full_until is None:
            self.disruption((roll - 0.985) / 0.015)

    def confirmation(self):
        m, rng, roll = self.m, self.rng, self.rng.random()
        if (roll < 0.35 and len(m.table) < 8) or not m.table:
            known = rng.random() < 0.9
            user, password = rng.choice(list(m.trunks.values()) or [["ghost", "pw"]]) if known else ["ghost", "pw"]
            password = password if rng.random() < 0.9 else "wrong"
            return self.confirm(user, password, rng.choice(ODD_ADDRESSES if rng.random() < 0.1 else ADDRESSES),
                                rng.choice(PORTS), True)
        user, password, address, port = rng.choice(m.table)
        if roll < 0.55:
            self.confirm(user, password, address, port, True)
        elif roll < 0.75:
            self.confirm(user, password, rng.choice(ADDRESSES), rng.choice(PORTS), True)
        else:
            self.confirm(user, password, address, port if rng.random() < 0.9 else "5999", False)

    def trunk_change(self, n):
        m, rng, roll = self.m, self.rng, self.rng.random()
        name, names = "t%d" % n, list(m.trunks)
        if roll < 0.35 or not names:
            if len(names) < 6 and self.settings("trunk", "add", name, "u%d" % n, "p%d" % n,
                                                *(["--symmetric-nat"] if n % 3 == 0 else [])):
                m.trunks[name] = ["u%d" % n, "p%d" % n]
            return
        old = rng.choice(names)
        user = m.trunks[old][0]
        if roll < 0.5:
            if self.settings("trunk", "rename", old, name):
                m.trunks = {(name if k == old else k): v for k, v in m.trunks.items()}
            return
        if roll < 0.75:
            if done := self.settings("trunk", "edit", old, name, "u%d" % n, "p%d" % n, table=m.master):
                m.trunks = {(name if k == old else k): (["u%d" % n, "p%d" % n] if k == old else v)
                            for k, v in m.trunks.items()}
        elif done := self.settings("trunk", "delete", old, table=m.master):
            del m.trunks[old]
        first = [i for i, e in enumerate(m.table) if e[0] == user]
        if done and m.master and first:  # the first slave of the account's previous user leaves
            m.drop(first[0])

    def master_change(self, n):
        m, rng, roll = self.m, self.rng, self.rng.random()
        name, names = "m%d" % n, list(m.masters)
        if roll < 0.3 or not names:
            enable, address = rng.random() < 0.6, rng.choice(ADDRESSES)
            if len(names) < 5 and self.settings("master", "add", name, "mu%d" % n, "pw", address, "5060",
                                                *(["--enable"] if enable else [])):
                m.masters[name] = ["mu%d" % n, "pw", address, "5060", enable]
            return
        old = rng.choice(names)
        entry = m.masters[old]
        if roll < 0.6:
            if self.settings("master", "disable" if entry[4] else "enable", old):
                entry[4] = not entry[4]
        elif roll < 0.85:
            new = ["mu%d" % n, "pw%d" % n, rng.choice(ADDRESSES), rng.choice(["5060", "5070"]), entry[4]]
            if self.settings("master", "edit", old, name, *new[:4]):
                m.masters = {(name if k == old else k): (new if k == old else v) for k, v in m.masters.items()}
        elif self.settings("master", "delete", old):
            del m.masters[old]

    def role_change(self, offline=False):
        m = self.m
        if self.rng.random() < (0.3 if m.master else 0.8):
            on = not m.master
            if self.settings("roles", "master", "on" if on else "off", table=not offline):
                m.master = on
                if offline:
                    return
                if on:
                    m.merge_store()
                while m.table and not on:  # every registered slave leaves
                    m.drop(0)
        elif self.settings("roles", "slave", "off" if m.slave else "on"):
            m.slave = not m.slave

    def disruption(self, roll):
        m = self.m
        self.quiet()
        if roll < 0.35:
            self.ua("reconnect")
            self.log("reconnect")
            self.connects += 1
            self.trace.wait(CONNECTED, self.connects, timeout=30)
            if m.master:
                m.merge_store()
        elif roll < 0.55:
            subprocess.run(["ip", "netns", "exec", self.ns, "nft", "flush", "ruleset"], check=True)
            self.log("nft flush ruleset")
        elif roll < 0.7 and not self.tools.emulated:
            with open(os.path.join(self.dirs.state, "filler"), "wb", buffering=0) as f:
                for size in (65536, 4096, 512):  # to the last block
                    with contextlib.suppress(OSError):
                        while True:
                            f.write(b"\0" * size)
            m.full, self.full_until = True, self.serial + 40
            self.log("disk full")
        else:
            self.restart(roll < 0.9)

    def restart(self, by_sigterm):
        m = self.m
        announced = {(e[0], e[2], e[3]) for e in m.table}
        self.proc.send_signal(signal.SIGTERM if by_sigterm else signal.SIGKILL)
        self.sigterms += by_sigterm
        code = self.proc.wait(timeout=30)
        assert code == -signal.SIGTERM or not by_sigterm, "the agent did not end by SIGTERM"
        assert self.trace.count(STOPPED) == self.sigterms, "one closing line per SIGTERM"
        self.log("restart", "SIGTERM" if by_sigterm else "SIGKILL")
        if self.rng.random() < 0.4:
            self.role_change(offline=True)  # a change the agent picks up at its next load
        self.start_agent()
        stored = status(self.tools, self.dirs)["registered_slaves"]
        if m.master:
            keys = {(s["user"], s["address"], s["port"]) for s in stored}
            assert announced <= keys, "registrations lost by the restart: %s" % (announced - keys)
        m.table = [[s["user"], s["password"], s["address"], s["port"]] for s in stored] if m.master else []
        self.quiet()

    def quiet(self):
        self.sync("cgi")
        self.sync("sip")
        self.check_store()
        for user, password, address, port in list(self.m.table):  # each registration is a refresh, nothing new
            self.confirm(user, password, address, port, True)
        self.sync("sip")
        self.check_events()
        if not self.tools.emulated:
            actual, expected = set(admitted(self.ns) or []), {e[2] for e in self.m.table if on_lan(e[2])}
            assert actual == expected, "regulator %s, registered through eth0 %s" % (sorted(actual), sorted(expected))
        self.check_user_agent()

    def check_store(self):
        m = self.m
        if not m.full:
            m.healed()
        certain = lambda rows: {k: v for k, v in rows.items() if not (m.full and k in m.uncertain)}  # noqa: E731

        def views():
            st = status(self.tools, self.dirs)
            return st, certain({(s["user"], s["address"], s["port"]): s["password"] for s in st["registered_slaves"]})

        # A store that fell behind is written again within a few seconds.
        st, actual = settle(views, lambda v: v[1] == certain(m.store), 10)
        assert actual == certain(m.store), "store %s, model %s" % (actual, m.store)
        assert [[t["user"], t["password"]] for t in st["sip_trunks"]] == list(m.trunks.values())
        assert (st["roles"]["master"], st["roles"]["slave"]) == (m.master, m.slave)
        if m.master:  # the table and the store agree, but for rows written on the full disk
            table = {(e[0], e[2], e[3]): e[1] for e in m.table}
            assert len(table) == len(m.table), "two table entries for one registration: %s" % m.table
            differ = {k for k in set(table) | set(m.store) if table.get(k) != m.store.get(k)}
            assert differ <= m.uncertain, "table %s, store %s" % (table, m.store)

    def check_events(self):
        def master_events():
            with open(self.events_out) as f:
                f.seek(self.events_offset)
                lines = f.read().split("\n")
            self.events_offset += sum(len(line) + 1 for line in lines[:-1])
            self.received += [e["text"] for e in map(json.loads, lines[:-1]) if e["source"] == "SIPTunnelMaster"]
            return self.received

        got = settle(master_events, lambda got: len(got) >= len(self.m.events), 5)
        assert got == self.m.events, "notifications: got %s, expected %s" % (got, self.m.events)
        self.m.events, self.received = [], []

    def check_user_agent(self):
        m = self.m
        trunks = collections.Counter(tuple(v) for v in m.trunks.values())
        enabled = collections.Counter((v[0], v[2], v[3]) for v in m.masters.values() if v[4])

        def view():
            with contextlib.suppress(OSError, ValueError), open(self.state_file) as f:
                held = json.load(f)
                return [(held[r]["active"], collections.Counter(tuple(a[k] for k in keys) for a in held[r]["accounts"]))
                        for r, keys in (("master", ("user", "password")), ("slave", ("user", "address", "port")))]

        def agrees(v):
            return v is not None and v[0][0] == m.master and v[1][0] == m.slave and (
                not m.master or v[0][1] == trunks) and (not m.slave or v[1][1] == enabled)

        v = settle(view, agrees, 5)
        assert agrees(v), "user agent holds %s; store: master %s %s, slave %s %s" % (
            v, m.master, dict(trunks), m.slave, dict(enabled))


@pytest.fixture
def state_on_tmpfs(dirs):
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m,mode=0755", "siptrunk-model", dirs.state], check=True)
    yield
    subprocess.run(["umount", "-l", dirs.state], check=False)


def test_views_agree_with_the_model(tools, dirs, lan_namespace, state_on_tmpfs):
    seed = int(os.environ.get("SIPTRUNK_MODEL_SEED") or random.SystemRandom().randrange(1 << 32))
    print("model check: seed %d (replay: SIPTRUNK_MODEL_SEED=%d), %d steps" % (seed, seed, STEPS))
    run = Run(tools, dirs, lan_namespace, random.Random(seed))
    try:
        assert ctl(tools, dirs, "roles", "master", "on", check=False)[0] == 3
        run.m.master = True
        run.start_helpers()
        run.start_agent()
        started = time.monotonic()
        for i in range(STEPS):
            run.step()
            if i % QUIET_EVERY == QUIET_EVERY - 1:
                run.quiet()
            assert run.proc.poll() is None, "the agent ended (%s)" % run.proc.returncode
        run.quiet()
        kinds = collections.Counter(" ".join(line.split()[:2]) for line in run.steps_log)
        print("model check: %d steps in %.1f s; %s" % (STEPS, time.monotonic() - started,
                                                      ", ".join("%s %d" % kv for kv in sorted(kinds.items()))))
    except AssertionError as failure:
        with open(os.path.join(dirs.root, "steps.log"), "w") as f:
            f.write("\n".join(run.steps_log) + "\n")
        raise AssertionError("seed %d (replay: SIPTRUNK_MODEL_SEED=%d); every step in %s; the last:\n  %s\n%s" % (
            seed, seed, f.name, "\n  ".join(run.steps_log[-25:]), failure)) from None
    finally:
        run.close()
