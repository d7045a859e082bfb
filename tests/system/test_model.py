"""Model check: long seeded random sequences of settings changes (through
siptrunkctl, so the store changes first, and raw), confirmations on both lists,
user-agent reconnects, agent restarts (SIGTERM and kill -9), flushed rulesets
and a full disk, against the real daemon in a network namespace with eth0 and
wan0. At quiet points four views must agree with a small model: the agent's
table, the store, what the user agent holds and the regulator's set.

SIPTRUNK_MODEL_STEPS: the number of steps (2,000 by default).
SIPTRUNK_MODEL_SEED: replays a run (every run prints its seed)."""
import collections
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

from agentharness import IS_ROOT, TraceFollower, ctl, pack, status
from test_regulator import admitted, lan_namespace  # noqa: F401 (a fixture)

pytestmark = pytest.mark.skipif(not IS_ROOT, reason="needs root for a network namespace, nftables and a tmpfs")

STEPS = int(os.environ.get("SIPTRUNK_MODEL_STEPS", "2000"))
QUIET_EVERY = 50
LAN = ipaddress.ip_network("192.0.2.0/24")
ADDRESSES = ["192.0.2.%d" % i for i in range(10, 16)] + ["198.51.100.10", "198.51.100.11"]
ODD_ADDRESSES = ["192.0.2.300", "", "abc", "192.0.2.010", "203.0.113.9", "127.0.0.1", "192.0.2.1", "192.0.2.255"]
PORTS = ["5060", "5061", "5062"]
CGI_MARK = "MESS: Incoming update message from SIP Trunk settings CGI. type: # 0c \n"
SIP_MARK = "ERROR:SIP Trunk Agent(SLAVE): # user: qmark not found...\n"
CONNECTED = "INFO:SIP Trunk Agent: OnSetUsersList: SIP user agent connected ...\n"
STOPPED = "INFO: ----Communication SIP Trunk Agent Stoped -----\n"
RAW = [["13"], ["-1"], ["4294967296"], [" 4x", "t", "u"], ["4", "t"], ["5", "nosuch", "other"], ["8", "nosuch"]]


def on_lan(address):
    """A dotted IPv4 address whose kernel route leaves through eth0 (the route lookup takes unicast and
    local routes only: eth0's broadcast address is not admitted)."""
    try:
        parsed = ipaddress.ip_address(socket.inet_ntoa(socket.inet_pton(socket.AF_INET, address)))
    except OSError:
        return False
    return parsed in LAN and parsed != LAN.broadcast_address


def settle(read, done, seconds):
    """read() until done(value) or the time is up; the last value read."""
    deadline, value = time.monotonic() + seconds, read()
    while not done(value) and time.monotonic() < deadline:
        time.sleep(0.05)
        value = read()
    return value


class Model:
    """What the agent should hold. The table is a list of [user, password,
    address, port] in the agent's order; the store maps (user, address, port)
    to the password, in row order."""

    def __init__(self):
        self.master = self.slave = False
        self.trunks = {}    # name -> [user, password]
        self.masters = {}   # name -> [user, password, address, port, enabled]
        self.table = []
        self.store = {}
        self.full = False
        self.uncertain = set()  # rows the agent wrote while the disk was full
        self.events = []        # master notifications, in order

    def wrote(self, key):
        if self.full:
            self.uncertain.add(key)

    def healed(self):
        """Once the disk has room the agent writes its table into the store again: the rows written
        meanwhile are the table's, or gone."""
        table = {(e[0], e[2], e[3]): e[1] for e in self.table}
        for key in self.uncertain:
            if key in table:
                self.store[key] = table[key]
            else:
                self.store.pop(key, None)
        self.uncertain.clear()

    def put(self, key, password):
        self.wrote(key)
        self.store[key] = password

    def delete(self, key):
        self.wrote(key)
        self.store.pop(key, None)

    def drop(self, index):
        user, _, address, port = self.table.pop(index)
        self.delete((user, address, port))

    def confirm_master(self, user, password, address, port, registered):
        key, who = (user, address, port), "%s(%s:%s)" % (user, address, port)
        same = [i for i, e in enumerate(self.table) if (e[0], e[2], e[3]) == key]
        if not registered:
            self.events.append("Successfully unregistered user %s from master device " % who)
            if same:
                self.drop(same[0])
            return
        if same:  # a refresh: the table and the store take the password it came with
            self.table[same[0]][1] = password
            self.put(key, password)
            return
        self.events.append("Successfully registered user %s on master device " % who)
        account = [i for i, e in enumerate(self.table) if e[0] == user and e[1] == password]
        if not account:
            self.table.append([user, password, address, port])
            self.put(key, password)
            return
        entry = self.table[account[0]]
        old = (user, entry[2], entry[3])
        entry[2:] = [address, port]
        kept = self.store.get(key, self.store.get(old, password))  # the row moves, or merges into one stored
        self.delete(old)
        self.put(key, kept)

    def merge_store(self):
        """The stored slaves the table lacks join it (activation, a new user agent)."""
        keys = {(e[0], e[2], e[3]) for e in self.table}
        self.table += [[k[0], p, k[1], k[2]] for k, p in self.store.items() if k not in keys]

    def expected_set(self):
        return sorted({e[2] for e in self.table if on_lan(e[2])})


class Run:
    def __init__(self, tools, dirs, namespace, rng):
        self.tools, self.dirs, self.ns, self.rng = tools, dirs, namespace, rng
        self.m = Model()
        self.trace = TraceFollower(dirs.log_path)
        self.serial = self.cgi_marks = self.sip_marks = self.connects = self.sigterms = 0
        self.pending = set()
        self.received = []
        self.proc = None
        self.out = open(os.path.join(dirs.root, "agent.out"), "ab")
        self.state_file = os.path.join(dirs.root, "ua-state.json")
        self.events_out = os.path.join(dirs.root, "events.json")
        self.events_offset = 0
        self.full_until = None
        self.steps_log = []

    # --- processes -----------------------------------------------------------------
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
        for p in (getattr(self, "uasim", None), getattr(self, "listener", None), self.proc):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()

    # --- synchronisation -----------------------------------------------------------
    def datagram(self, payload):
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(payload, self.dirs.cgi_sock)

    def sync_cgi(self):
        self.datagram(pack("12"))
        self.cgi_marks += 1
        self.trace.wait(CGI_MARK, self.cgi_marks, timeout=60)
        self.pending.discard("cgi")

    def sync_sip(self):
        self.ua("confirm", "slave", "qmark", "192.0.2.1", "5060", "1", "0")
        self.sip_marks += 1
        self.trace.wait(SIP_MARK, self.sip_marks, timeout=60)
        self.pending.discard("sip")

    def settings(self, *args, table=False):
        """One siptrunkctl command; True when the agent took it (exit 0)."""
        if table and "sip" in self.pending:
            self.sync_sip()  # the table changes on both threads: keep the model's order
        if "cgi" in self.pending:
            # One change at a time, as the device's settings CGI: a message names rows of the store as they
            # are when it is sent, so the next edit waits until the agent has taken it.
            self.sync_cgi()
        code, out, _ = ctl(self.tools, self.dirs, *args, check=False)
        self.log("ctl", *args, "->", code)
        if code == 0:
            self.pending.add("cgi")
        return code == 0 or (code == 3 and self.proc.poll() is not None)

    def confirm(self, user, password, address, port, registered):
        if "cgi" in self.pending:
            self.sync_cgi()
        self.ua("confirm", "master", user, password, address, port, "1" if registered else "0", "0")
        self.log("confirm master", user, password, address, port, registered)
        self.m.confirm_master(user, password, address, port, registered)
        self.pending.add("sip")

    def log(self, *words):
        self.steps_log.append(" ".join(repr(w) if w == "" else str(w) for w in words))

    # --- steps -----------------------------------------------------------------------
    def step(self):
        m, rng, roll = self.m, self.rng, self.rng.random()
        self.serial += 1
        n = self.serial
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
        users = [t for t in m.trunks.values()] or [["ghost", "pw"]]
        if (roll < 0.35 and len(m.table) < 8) or not m.table:
            user, password = rng.choice(users) if rng.random() < 0.9 else ["ghost", "pw"]
            password = password if rng.random() < 0.9 else "wrong"
            addresses = ODD_ADDRESSES if rng.random() < 0.1 else ADDRESSES
            self.confirm(user, password, rng.choice(addresses), rng.choice(PORTS), True)
            return
        user, password, address, port = rng.choice(m.table)
        if roll < 0.55:
            self.confirm(user, password, address, port, True)
        elif roll < 0.75:
            self.confirm(user, password, rng.choice(ADDRESSES), rng.choice(PORTS), True)
        else:
            self.confirm(user, password, address, port if rng.random() < 0.9 else "5999", False)

    def trunk_change(self, n):
        m, rng = self.m, self.rng
        names = list(m.trunks)
        roll = rng.random()
        if roll < 0.35 or not names:
            if len(names) < 6 and self.settings("trunk", "add", "t%d" % n, "u%d" % n, "p%d" % n,
                                                *(["--symmetric-nat"] if n % 3 == 0 else [])):
                m.trunks["t%d" % n] = ["u%d" % n, "p%d" % n]
            return
        old = rng.choice(names)
        if roll < 0.5:
            if self.settings("trunk", "rename", old, "t%d" % n):
                m.trunks = {("t%d" % n if k == old else k): v for k, v in m.trunks.items()}
            return
        user = m.trunks[old][0]
        if roll < 0.75:
            done = self.settings("trunk", "edit", old, "t%d" % n, "u%d" % n, "p%d" % n, table=m.master)
            if done:
                m.trunks = {("t%d" % n if k == old else k): (["u%d" % n, "p%d" % n] if k == old else v)
                            for k, v in m.trunks.items()}
        else:
            done = self.settings("trunk", "delete", old, table=m.master)
            if done:
                del m.trunks[old]
        if done and m.master:  # the first slave of the account's previous user leaves
            first = [i for i, e in enumerate(m.table) if e[0] == user]
            if first:
                m.drop(first[0])

    def master_change(self, n):
        m, rng = self.m, self.rng
        names, roll = list(m.masters), rng.random()
        if roll < 0.3 or not names:
            enable = rng.random() < 0.6
            address = rng.choice(ADDRESSES)
            if len(names) < 5 and self.settings("master", "add", "m%d" % n, "mu%d" % n, "pw", address, "5060",
                                                *(["--enable"] if enable else [])):
                m.masters["m%d" % n] = ["mu%d" % n, "pw", address, "5060", enable]
            return
        old = rng.choice(names)
        entry = m.masters[old]
        if roll < 0.6:
            if self.settings("master", "disable" if entry[4] else "enable", old):
                entry[4] = not entry[4]
        elif roll < 0.85:
            new = ["mu%d" % n, "pw%d" % n, rng.choice(ADDRESSES), rng.choice(["5060", "5070"]), entry[4]]
            if self.settings("master", "edit", old, "m%d" % n, *new[:4]):
                m.masters = {("m%d" % n if k == old else k): (new if k == old else v) for k, v in m.masters.items()}
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
                else:  # every registered slave leaves
                    for user, _, address, port in m.table:
                        m.delete((user, address, port))
                    m.table = []
        else:
            on = not m.slave
            if self.settings("roles", "slave", "on" if on else "off"):
                m.slave = on

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
            self.fill_disk()
            self.full_until = self.serial + 40
        else:
            self.restart(roll < 0.9)

    def fill_disk(self):
        with open(os.path.join(self.dirs.state, "filler"), "wb", buffering=0) as f:
            for size in (65536, 4096, 512):  # to the last block
                try:
                    while True:
                        f.write(b"\0" * size)
                except OSError:
                    pass
        self.m.full = True
        self.log("disk full")

    def restart(self, by_sigterm):
        m = self.m
        announced = {(e[0], e[2], e[3]) for e in m.table}
        if by_sigterm:
            self.proc.send_signal(signal.SIGTERM)
            self.sigterms += 1
            assert self.proc.wait(timeout=30) == -signal.SIGTERM, "the agent did not end by SIGTERM"
            assert self.trace.count(STOPPED) == self.sigterms, "one closing line per SIGTERM"
        else:
            self.proc.kill()
            self.proc.wait()
        self.log("restart", "SIGTERM" if by_sigterm else "SIGKILL")
        if self.rng.random() < 0.4:
            self.role_change(offline=True)  # a change the agent picks up at its next load
        self.start_agent()
        stored = status(self.tools, self.dirs)["registered_slaves"]
        keys = [(s["user"], s["address"], s["port"]) for s in stored]
        if m.master:
            assert announced <= set(keys), "registrations lost by the restart: %s" % (announced - set(keys))
        m.table = [[s["user"], s["password"], s["address"], s["port"]] for s in stored] if m.master else []
        self.quiet()

    # --- the checks at a quiet point -------------------------------------------------
    def quiet(self):
        m = self.m
        self.sync_cgi()
        self.sync_sip()
        self.check_store()
        for user, password, address, port in list(m.table):  # each registration is a refresh, nothing new
            self.confirm(user, password, address, port, True)
        self.sync_sip()
        self.check_events()
        if not self.tools.emulated:
            self.check_regulator()
        self.check_user_agent()

    def check_store(self):
        m = self.m

        def views():
            st = status(self.tools, self.dirs)
            actual = {(s["user"], s["address"], s["port"]): s["password"] for s in st["registered_slaves"]}
            return st, {k: v for k, v in actual.items() if not (m.full and k in m.uncertain)}

        if not m.full:
            m.healed()
        expected = {k: v for k, v in m.store.items() if not (m.full and k in m.uncertain)}
        # A store that fell behind is written again within a few seconds.
        st, actual = settle(views, lambda v: v[1] == expected, 10)
        assert actual == expected, "store %s, model %s" % (actual, expected)
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
                data = f.read()
            lines = data.split("\n")
            self.events_offset += len(data) - len(lines[-1])
            self.received += [e["text"] for e in map(json.loads, lines[:-1]) if e["source"] == "SIPTunnelMaster"]
            return self.received

        settle(master_events, lambda got: len(got) >= len(self.m.events), 5)
        assert self.received == self.m.events, "notifications: %s" % self.diff(self.received, self.m.events)
        self.m.events, self.received = [], []

    def check_regulator(self):
        actual, expected = set(admitted(self.ns) or []), set(self.m.expected_set())
        assert actual == expected, "regulator %s, registered through eth0 %s" % (sorted(actual), sorted(expected))

    def check_user_agent(self):
        m = self.m
        trunks = collections.Counter(tuple(v) for v in m.trunks.values())
        enabled = collections.Counter((v[0], v[2], v[3]) for v in m.masters.values() if v[4])

        def view():
            try:
                with open(self.state_file) as f:
                    held = json.load(f)
            except (OSError, ValueError):
                return None
            return ((held["master"]["active"], collections.Counter((a["user"], a["password"])
                                                                   for a in held["master"]["accounts"])),
                    (held["slave"]["active"], collections.Counter((a["user"], a["address"], a["port"])
                                                                  for a in held["slave"]["accounts"])))

        def agrees(v):
            return v is not None and v[0][0] == m.master and v[1][0] == m.slave and (
                not m.master or v[0][1] == trunks) and (not m.slave or v[1][1] == enabled)

        v = settle(view, agrees, 5)
        assert agrees(v), "user agent holds %s; store: master %s %s, slave %s %s" % (
            v, m.master, dict(trunks), m.slave, dict(enabled))

    @staticmethod
    def diff(got, want):
        i = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        return "first difference at %d: got %s, expected %s" % (i, got[i:i + 3], want[i:i + 3])


@pytest.fixture
def state_on_tmpfs(dirs):
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m,mode=0755", "siptrunk-model", dirs.state], check=True)
    yield
    subprocess.run(["umount", "-l", dirs.state], check=False)


def test_views_agree_with_the_model(tools, dirs, lan_namespace, state_on_tmpfs):  # noqa: F811
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
        elapsed = time.monotonic() - started
        kinds = collections.Counter(" ".join(line.split()[:2]) for line in run.steps_log)
        print("model check: %d steps in %.1f s (%.0f steps/s); %s" % (
            STEPS, elapsed, STEPS / elapsed, ", ".join("%s %d" % kv for kv in sorted(kinds.items()))))
    except AssertionError as failure:
        with open(os.path.join(dirs.root, "steps.log"), "w") as f:
            f.write("\n".join(run.steps_log) + "\n")
        raise AssertionError("seed %d (replay: SIPTRUNK_MODEL_SEED=%d); every step in %s; the last:\n  %s\n%s" % (
            seed, seed, os.path.join(dirs.root, "steps.log"), "\n  ".join(run.steps_log[-25:]), failure)) from None
    finally:
        run.close()
