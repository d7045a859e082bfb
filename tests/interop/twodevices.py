"""Two devices end to end: a master and a slave, each with its own agent and
siptrunk-ua in its own network namespace, on one LAN 192.0.2.0/24 (a bridge
in a fourth namespace) with a third host, the intruder. The master runs the
example ruleset contrib/nftables/siptrunk.nft.

One scenario serves two front ends: tests/interop/test_two_devices.py (every
step's wait failing raises AssertionError) and `make demo`
(tools/run-two-devices.sh), which runs this file and prints the steps.
Root only."""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "system"))
sys.path.insert(0, HERE)

from agentharness import AgentDirs, AgentProcess, EventListener, wait_for  # noqa: E402
from uaharness import UaProcess, ctl_with_password, master_trunk_registered, registered_slaves  # noqa: E402

RULESET = os.path.join(HERE, "..", "..", "contrib", "nftables", "siptrunk.nft")
HOSTS = {"master": "192.0.2.1", "slave": "192.0.2.2", "intruder": "192.0.2.3"}
MEDIA_PORT = 40000
# Short timers keep the run short: the slave refreshes its 10 s binding every
# few seconds, so it notices a dead master quickly, and retries every 1-2 s.
MASTER_UA = ["--transport", "udp", "--min-expires", "2"]
SLAVE_UA = ["--transport", "udp", "--client-expires", "10", "--retry-min", "1", "--retry-max", "2"]

RECEIVER = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", int(sys.argv[1])))
print("ready", flush=True)
while True:
    data, peer = s.recvfrom(100)
    print(peer[0], flush=True)
"""
SENDER = "import socket,sys; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b'rtp', (sys.argv[1], %d))"


def run(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


class Lan:
    """The namespaces: lan (the bridge), master, slave, intruder; each host's leg is eth0."""

    def __init__(self):
        tag = uuid.uuid4().hex[:6]
        self.ns = {name: "st-%s-%s" % (name, tag) for name in ("lan",) + tuple(HOSTS)}
        self.created = []

    def setup(self):
        lan = self.ns["lan"]
        for ns in self.ns.values():
            run("ip", "netns", "add", ns)
            self.created.append(ns)
            run("ip", "-n", ns, "link", "set", "lo", "up")
        run("ip", "-n", lan, "link", "add", "br0", "type", "bridge")
        run("ip", "-n", lan, "link", "set", "br0", "up")
        for host, address in HOSTS.items():
            ns = self.ns[host]
            run("ip", "-n", lan, "link", "add", "to-" + host, "type", "veth", "peer", "name", "eth0", "netns", ns)
            run("ip", "-n", lan, "link", "set", "to-" + host, "master", "br0", "up")
            run("ip", "-n", ns, "addr", "add", address + "/24", "dev", "eth0")
            run("ip", "-n", ns, "link", "set", "eth0", "up")
        run("ip", "netns", "exec", self.ns["master"], "nft", "-f", RULESET)
        return self

    def exec(self, host, *cmd, **kwargs):
        return subprocess.Popen(["ip", "netns", "exec", self.ns[host]] + list(cmd), **kwargs)

    def admitted(self):
        out = subprocess.run(["ip", "netns", "exec", self.ns["master"], "nft", "-j", "list", "set", "inet",
                              "siptrunk", "lan_slaves"], capture_output=True, text=True, check=True).stdout
        return sorted(e for item in json.loads(out)["nftables"] if "set" in item for e in item["set"].get("elem", []))

    def media_reaches_master(self):
        """Which hosts' UDP to MEDIA_PORT arrives at the master."""
        receiver = self.exec("master", sys.executable, "-c", RECEIVER, str(MEDIA_PORT), stdout=subprocess.PIPE,
                             text=True)
        try:
            assert receiver.stdout.readline() == "ready\n"
            for host in ("slave", "intruder"):
                self.exec(host, sys.executable, "-c", SENDER % MEDIA_PORT, HOSTS["master"]).wait(timeout=10)
            time.sleep(0.5)  # both datagrams are on the wire; give the kernel its moment
        finally:
            receiver.kill()
            out = receiver.communicate()[0]
        return sorted({line for line in out.split()})

    def teardown(self):
        for ns in reversed(self.created):
            subprocess.run(["ip", "netns", "del", ns], check=False)
        self.created = []


class NsUa(UaProcess):
    """siptrunk-ua inside a namespace."""

    def __init__(self, lan, host, tools, dirs, args):
        super().__init__(tools, dirs, ["--listen", HOSTS[host] + ":5060"] + args)
        self.lan, self.host = lan, host

    def start(self):
        self.proc = self.lan.exec(self.host, self.tools.path("siptrunk-ua"), *self.args, env=self.dirs.env(),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                  start_new_session=True)
        return self


class Device:
    def __init__(self, lan, host, tools, root, ua_args):
        self.lan, self.host, self.tools, self.ua_args = lan, host, tools, ua_args
        self.dirs = AgentDirs(os.path.join(root, host))
        self.agent = AgentProcess(tools, self.dirs)
        self.ua = None
        self.events = None

    def ctl(self, *args):
        return ctl_with_password(self.tools, self.dirs, *args)

    def start(self):
        self.events = EventListener(self.dirs)
        self.agent.start(netns=self.lan.ns[self.host])
        return self.start_ua()

    def start_ua(self):
        self.ua = NsUa(self.lan, self.host, self.tools, self.dirs, self.ua_args).start()
        return self

    def wait_event(self, kind, text, timeout=15):
        """The first notification of that kind whose text begins with `text`; consumed."""
        def found():
            for event in self.events.drain():
                if event[1] == kind and event[2].startswith(text):
                    self.events.events.remove(event)
                    return event
            return None
        return wait_for(found, timeout, "%s notification %r on the %s" % (kind, text, self.host))[2]

    def stop(self):
        if self.ua and self.ua.running():
            self.ua.proc.kill()
            self.ua.proc.wait()
        self.agent.kill_if_running()
        if self.events:
            self.events.close()


def scenario(tools, say=lambda text: None):
    """The whole run; say(text) is told each step and its outcome."""
    root = tempfile.mkdtemp(prefix="st2-")
    lan = Lan()
    devices = []
    try:
        lan.setup()
        master = Device(lan, "master", tools, root, MASTER_UA)
        slave = Device(lan, "slave", tools, root, SLAVE_UA)
        devices += [master, slave]
        master.ctl("roles", "master", "on")
        master.ctl("trunk", "add", "trunk1", "alice", "secret")
        slave.ctl("roles", "slave", "on")
        slave.ctl("master", "add", "uplink", "alice", "secret", HOSTS["master"], "5060", "--enable")
        master.start()
        master.ua.wait_log("UA: master list: 1 accounts, active")
        say("1. The slave (192.0.2.2) registers trunk 'alice' on the master (192.0.2.1:5060) over SIP")
        slave.start()
        # A first success is only recorded; the slave announces a success after a failure (step 4).
        wait_for(lambda: master_trunk_registered(tools, slave.dirs, "uplink"), 15, "the slave's store")
        say("   slave: trunk uplink registered (siptrunkctl status)")
        text = master.wait_event("Registration", "Successfully registered user alice")
        say("   master says: " + text)
        wait_for(lambda: [s[:2] for s in registered_slaves(tools, master.dirs)] == [("alice", HOSTS["slave"])],
                 10, "alice in the master's store")
        wait_for(lambda: lan.admitted() == [HOSTS["slave"]], 10, "192.0.2.2 in lan_slaves")
        say("   done: the master's store has alice at 192.0.2.2 and nftables set lan_slaves admits %s"
            % lan.admitted())

        say("2. Slave and intruder (192.0.2.3) each send UDP to media port %d on the master" % MEDIA_PORT)
        arrived = lan.media_reaches_master()
        assert arrived == [HOSTS["slave"]], arrived
        say("   done: only the slave's datagram arrived (from %s); the intruder's was dropped" % arrived)

        say("3. The master's SIP user agent dies (SIGKILL)")
        master.ua.proc.kill()
        master.ua.proc.wait()
        text = slave.wait_event("Registration failure", "Could not register with user alice", timeout=30)
        # The refresh meets ICMP port unreachable: the UA reports error 6.
        assert text.endswith("Reason: Network Failure"), text
        wait_for(lambda: not master_trunk_registered(tools, slave.dirs, "uplink"), 10, "the slave's store")
        say("   slave says: " + text)

        say("4. The master's SIP user agent comes back")
        master.start_ua()
        text = slave.wait_event("Registration", "Successfully registered with user alice", timeout=30)
        say("   slave says: " + text)
        wait_for(lambda: lan.admitted() == [HOSTS["slave"]], 10, "192.0.2.2 in lan_slaves again")

        say("5. The slave's trunk towards the master is disabled")
        slave.ctl("master", "disable", "uplink")
        text = master.wait_event("Registration", "Successfully unregistered user alice")
        say("   master says: " + text)
        wait_for(lambda: lan.admitted() == [], 10, "192.0.2.2 gone from lan_slaves")
        say("   done: 192.0.2.2 left lan_slaves")
    finally:
        for device in devices:
            device.stop()
        lan.teardown()
        if not os.environ.get("SIPTRUNK_KEEP"):
            shutil.rmtree(root, ignore_errors=True)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: %s BUILD_DIR" % sys.argv[0])
    if os.geteuid() != 0:
        sys.exit("the two-device demo needs root: it creates network namespaces and an nftables ruleset")
    from agentharness import BuildTools
    tools = BuildTools(os.path.abspath(sys.argv[1]))
    for name in ("siptrunk-agent", "siptrunkctl", "siptrunk-ua"):
        if not os.access(tools.path(name), os.X_OK):
            sys.exit("%s is missing (build first; siptrunk-ua needs sofia-sip at configure time)" % tools.path(name))
    # Ctrl-C and SIGTERM unwind through the scenario's cleanup (SIGINT too
    # when the shell started us with it ignored, as for a background job).
    def interrupted(*_):
        raise KeyboardInterrupt
    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)
    try:
        scenario(tools, say=lambda text: print(text, flush=True))
    except KeyboardInterrupt:
        print("interrupted; everything cleaned up", flush=True)
        sys.exit(130)
    except AssertionError as failure:
        print("FAILED: %s" % failure, flush=True)
        sys.exit(1)
    print("All steps done; namespaces, processes and files removed.")


if __name__ == "__main__":
    main()
