"""Two devices, each its own agent and siptrunk-ua in its own network namespace, on one LAN 192.0.2.0/24
(a bridge in a fourth namespace) with an intruder; the master runs contrib/nftables/siptrunk.nft.
Serves test_two_devices.py and `make demo` (tools/run-two-devices.sh prints the steps). Root only."""
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

from agentharness import AgentDirs, AgentProcess, BuildTools, EventListener, admitted, wait_for  # noqa: E402
from uaharness import UaProcess, ctl_with_password, master_trunk_registered, registered_slaves, ua_view  # noqa: E402

RULESET = os.path.join(HERE, "..", "..", "contrib", "nftables", "siptrunk.nft")
HOSTS = {"master": "192.0.2.1", "slave": "192.0.2.2", "intruder": "192.0.2.3"}
MEDIA_PORT = 40000
# Short timers: the slave refreshes its 10 s binding often (a dead master shows soon), retries every 1-2 s.
MASTER_UA = ["--transport", "udp", "--min-expires", "2"]
SLAVE_UA = ["--transport", "udp", "--client-expires", "10", "--retry-min", "1", "--retry-max", "2"]

UDP = "import socket, sys; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); "
RECEIVER = UDP + "s.bind(('0.0.0.0', %d)); print('ready', flush=True)\nwhile 1: print(s.recvfrom(99)[1][0], flush=True)"
SENDER = UDP + "s.sendto(b'rtp', (sys.argv[1], %d))"


def run(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


class Lan:
    """The namespaces: lan (the bridge), master, slave, intruder; each host's leg is eth0."""

    def __init__(self):
        tag = uuid.uuid4().hex[:6]
        self.ns, self.created = {name: "st-%s-%s" % (name, tag) for name in ("lan",) + tuple(HOSTS)}, []

    def setup(self):
        ip = lambda ns, *args: run("ip", "-n", self.ns[ns], *args)  # noqa: E731
        for name, ns in self.ns.items():
            run("ip", "netns", "add", ns)
            self.created.append(ns)
            ip(name, "link", "set", "lo", "up")
        ip("lan", "link", "add", "br0", "type", "bridge")
        ip("lan", "link", "set", "br0", "up")
        for host, address in HOSTS.items():
            ip("lan", "link", "add", "to-" + host, "type", "veth", "peer", "name", "eth0", "netns", self.ns[host])
            ip("lan", "link", "set", "to-" + host, "master", "br0", "up")
            ip(host, "addr", "add", address + "/24", "dev", "eth0")
            ip(host, "link", "set", "eth0", "up")
        run(*self.prefix("master"), "nft", "-f", RULESET)

    def prefix(self, host):
        return ["ip", "netns", "exec", self.ns[host]]

    def python(self, host, script, *args, **kwargs):
        return subprocess.Popen(self.prefix(host) + [sys.executable, "-c", script % MEDIA_PORT, *args], **kwargs)

    def admitted(self):
        return admitted(self.ns["master"])

    def media_reaches_master(self):
        """Which hosts' UDP to MEDIA_PORT arrives at the master."""
        receiver = self.python("master", RECEIVER, stdout=subprocess.PIPE, text=True)
        try:
            assert receiver.stdout.readline() == "ready\n"
            for host in ("slave", "intruder"):
                self.python(host, SENDER, HOSTS["master"]).wait(timeout=10)
            time.sleep(0.5)  # both datagrams are on the wire; give the kernel its moment
        finally:
            receiver.kill()
        return sorted(set(receiver.communicate()[0].split()))

    def teardown(self):
        for ns in reversed(self.created):
            subprocess.run(["ip", "netns", "del", ns], check=False)


class Device:
    def __init__(self, lan, host, tools, root, ua_args):
        self.lan, self.host, self.tools, self.ua_args = lan, host, tools, ua_args
        self.dirs = AgentDirs(os.path.join(root, host))
        self.agent, self.ua, self.events = AgentProcess(tools, self.dirs), None, None

    def ctl(self, *args):
        return ctl_with_password(self.tools, self.dirs, *args)

    def start(self):
        self.events = self.events or EventListener(self.dirs)
        self.agent.start(netns=self.lan.ns[self.host])
        self.start_ua()

    def start_ua(self):
        self.ua = UaProcess(self.tools, self.dirs, ["--listen", HOSTS[self.host] + ":5060"] + self.ua_args,
                            self.lan.prefix(self.host)).start()

    def wait_event(self, kind, text, timeout=15):
        """The first notification of that kind whose text begins with `text`; consumed."""
        def found():
            if hit := next((e for e in self.events.drain() if e[1] == kind and e[2].startswith(text)), None):
                self.events.events.remove(hit)
            return hit
        return wait_for(found, timeout, "%s notification %r on the %s" % (kind, text, self.host))[2]

    def stop(self):
        if self.ua and self.ua.running():
            self.ua.kill()
        self.agent.kill_if_running()
        if self.events:
            self.events.close()


def scenario(tools, say=lambda text: None):
    """The whole run; say(text) is told each step and its outcome."""
    root, lan = tempfile.mkdtemp(prefix="st2-"), Lan()
    master, slave = devices = [Device(lan, h, tools, root, a) for h, a in (("master", MASTER_UA), ("slave", SLAVE_UA))]
    try:
        lan.setup()
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
        say("   master says: " + master.wait_event("Registration", "Successfully registered user alice"))
        wait_for(lambda: [s[:2] for s in registered_slaves(tools, master.dirs)] == [("alice", HOSTS["slave"])],
                 10, "alice in the master's store")
        wait_for(lambda: lan.admitted() == [HOSTS["slave"]], 10, "192.0.2.2 in lan_slaves")
        say("   done: the master's store has alice at 192.0.2.2 and nftables set lan_slaves admits %s" % lan.admitted())

        say("2. Slave and intruder (192.0.2.3) each send UDP to media port %d on the master" % MEDIA_PORT)
        assert (arrived := lan.media_reaches_master()) == [HOSTS["slave"]], arrived
        say("   done: only the slave's datagram arrived (from %s); the intruder's was dropped" % arrived)

        say("3. The master's SIP user agent dies (SIGKILL)")
        master.ua.kill()
        text = slave.wait_event("Registration failure", "Could not register with user alice", timeout=30)
        # The refresh meets ICMP port unreachable: the UA reports error 6.
        assert text.endswith("Reason: Network Failure"), text
        wait_for(lambda: not master_trunk_registered(tools, slave.dirs, "uplink"), 10, "the slave's store")
        say("   slave says: " + text)

        say("4. The master's SIP user agent comes back")
        master.start_ua()
        say("   slave says: " + slave.wait_event("Registration", "Successfully registered with user alice", timeout=30))
        wait_for(lambda: lan.admitted() == [HOSTS["slave"]], 10, "192.0.2.2 in lan_slaves again")

        say("5. The slave's trunk towards the master is disabled")
        slave.ctl("master", "disable", "uplink")
        say("   master says: " + master.wait_event("Registration", "Successfully unregistered user alice"))
        wait_for(lambda: lan.admitted() == [], 10, "192.0.2.2 gone from lan_slaves")
        say("   done: 192.0.2.2 left lan_slaves")

        say("6. Power cut: the trunk is enabled again, then both devices lose power (SIGKILL); only the master comes back")
        slave.ctl("master", "enable", "uplink")
        master.wait_event("Registration", "Successfully registered user alice")
        wait_for(lambda: lan.admitted() == [HOSTS["slave"]], 10, "192.0.2.2 in lan_slaves again")
        expires = ua_view(tools, master.dirs)["slaves"][0]["expires"]
        for device in (slave, master):
            device.ua.kill()
            device.agent.kill_if_running()
        time.sleep(max(0, expires + 1 - time.time()))  # the binding ends while the master is down
        master.start()
        say("   master says: " + master.wait_event("Registration", "Successfully unregistered user alice"))
        wait_for(lambda: lan.admitted() == [], 10, "192.0.2.2 gone from lan_slaves after the restart")
        assert registered_slaves(tools, master.dirs) == []
        say("   done: the binding that ended during the cut is confirmed gone; 192.0.2.2 left lan_slaves")
    finally:
        for device in devices:
            device.stop()
        lan.teardown()
        if not os.environ.get("SIPTRUNK_KEEP"):
            shutil.rmtree(root, ignore_errors=True)


def main():
    if len(sys.argv) != 2 or os.geteuid() != 0:
        sys.exit("usage (root: it makes network namespaces and an nftables ruleset): %s BUILD_DIR" % sys.argv[0])
    tools = BuildTools(os.path.abspath(sys.argv[1]))
    for name in ("siptrunk-agent", "siptrunkctl", "siptrunk-ua"):
        if not os.access(tools.path(name), os.X_OK):
            sys.exit("%s is missing (build first; siptrunk-ua needs sofia-sip at configure time)" % tools.path(name))
    for signum in (signal.SIGINT, signal.SIGTERM):  # unwind through the cleanup, also when SIGINT came ignored
        signal.signal(signum, signal.default_int_handler)
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
