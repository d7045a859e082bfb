"""Drives siptrunk-ua, SIPp and Kamailio for the interop tests."""
import contextlib
import glob
import os
import shutil
import socket
import subprocess
import time

from agentharness import read_text, status, stop_process, store_edit, wait_for

SCENARIOS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")


def free_port(host="127.0.0.1"):  # for UDP and for TCP, which the UA binds too
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u, socket.socket() as t:
            u.bind((host, 0))
            with contextlib.suppress(OSError):
                t.bind((host, u.getsockname()[1]))
                return u.getsockname()[1]


def ctl_with_password(tools, dirs, *args):
    """`trunk|master add NAME USER PASSWORD ...` (the password goes in on standard input); others as they are."""
    password = None
    if args[1:2] == ("add",) and len(args) > 4:
        password, args = args[4], args[:4] + args[5:]
    return store_edit(tools, dirs, *args, password=password)


def registered_slaves(tools, dirs):
    return [(s["user"], s["address"], s["port"]) for s in status(tools, dirs)["registered_slaves"]]


def ua_view(tools, dirs):  # what siptrunk-ua last saw (its status file, through siptrunkctl)
    return status(tools, dirs)["ua"]


def check_trunk_view(tools, dirs, port, code, reason, registered, granted=0):
    """The UA's view (siptrunkctl) of trunk "bob" towards 127.0.0.1:port once the master answered `code`."""
    (trunk,) = wait_until(lambda: [t for t in ua_view(tools, dirs)["trunks_to_master"] if t["code"] == code],
                          "the UA's view of the master's %d" % code)
    now = time.time()
    assert (trunk["user"], trunk["master"], trunk["registered"], trunk["reason"]) == (
        "bob", "127.0.0.1:%d" % port, registered, reason)
    if registered:
        assert abs(trunk["expires"] - (now + granted)) <= 3 and trunk["next_attempt"] == 0
    else:
        assert trunk["expires"] == 0 and now - 3 < trunk["next_attempt"] <= now + 5


def master_trunk_registered(tools, dirs, name):
    return [t["registered"] for t in status(tools, dirs)["trunks_to_master"] if t["name"] == name][0]


class UaProcess:
    """One siptrunk-ua (after `prefix`, e.g. `ip netns exec NS`), its log under the test's LOGS_DIRECTORY."""

    def __init__(self, tools, dirs, args, prefix=()):
        self.tools, self.dirs, self.args, self.prefix, self.proc = tools, dirs, args, list(prefix), None

    def start(self):
        self.proc = subprocess.Popen(self.prefix + [self.tools.path("siptrunk-ua")] + self.args,
                                     env=self.dirs.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        return self

    def log(self):
        return read_text(os.path.join(self.dirs.logs, "siptrunk-ua.log"))

    def wait_log(self, fragment, count=1, timeout=15):
        wait_for(lambda: self.log().count(fragment) >= count, timeout, "%d x %r in the UA's log" % (count, fragment))

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def kill(self):  # a power cut, as far as the process can tell
        self.proc.kill()
        self.proc.wait()

    def stop(self):
        assert stop_process(self.proc, 15), "siptrunk-ua did not end on SIGTERM"
        assert self.proc.returncode == 0, "siptrunk-ua ended with %s" % self.proc.returncode


def scenario_file(tmp, name, template, placeholder, text):  # a copy of scenarios/TEMPLATE, with text put in
    with open(os.path.join(SCENARIOS, template)) as f, open(os.path.join(tmp, name), "w") as out:
        out.write(f.read().replace(placeholder, text))
    return os.path.join(tmp, name)


def sipp_register(tmp, target, local_port, user, password, device="slave7", expires=60, expect=200):
    """SIPp registers as a slave device (challenge, answer, final status `expect`); True when it saw just that."""
    path = scenario_file(tmp, "register-%d.xml" % expect, "register.xml", "EXPECTED_STATUS", str(expect))
    inf = os.path.join(tmp, "register.csv")
    with open(inf, "w") as f:
        f.write("SEQUENTIAL\n%s;%s;[authentication username=%s password=%s];%d\n"
                % (user, device, user, password, expires))
    return subprocess.run(["sipp", target, "-sf", path, "-inf", inf, "-i", "127.0.0.1", "-p", str(local_port), "-t",
                           "u1", "-m", "1", "-nostdin", "-timeout", "15s", "-timeout_error", "-trace_err",
                           "-error_file", os.path.join(tmp, "sipp-errors.log")], cwd=tmp, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=30).returncode == 0


class SippMaster:
    """SIPp as a master device on 127.0.0.1:port answering REGISTERs in turn with `answers`, then staying."""

    RESPONSE = ('  <recv request="REGISTER"/>\n  <send><![CDATA[\nSIP/2.0 %d %s\n[last_Via:]\n[last_From:]\n'
                '[last_To:];tag=[pid]m[call_number]\n[last_Call-ID:]\n[last_CSeq:]\n%sContent-Length: 0\n\n'
                ']]></send>\n')
    PHRASES = {200: "OK", 401: "Unauthorized", 503: "Service Unavailable"}
    EXTRA = {200: "[last_Contact:];expires=60\n", 503: "Retry-After: 1\n",
             401: 'WWW-Authenticate: Digest realm="master", nonce="n[call_number]x", algorithm=MD5, qop="auth"\n'}

    def __init__(self, tmp, port, answers):
        body = "".join(self.RESPONSE % (a, self.PHRASES[a], self.EXTRA.get(a, "")) for a in answers)
        path = scenario_file(tmp, "master.xml", "master_answers.xml", "ANSWERS",
                             body + '  <pause milliseconds="60000"/>\n')
        # One "call" per registration attempt (one Call-ID across a challenge and the stack's own
        # retries); after a failure the UA's new Call-ID is a new call, served from the first answer.
        self.proc = subprocess.Popen(["sipp", "-sf", path, "-i", "127.0.0.1", "-p", str(port), "-nostdin", "-nd"],
                                     cwd=tmp, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        stop_process(self.proc)


KAMAILIO_CFG = """#!KAMAILIO
debug=2
log_stderror=yes
children=1
auto_aliases=no
listen=udp:127.0.0.1:%(port)d
mpath="%(mpath)s"
%(modules)s
modparam("ctl", "binrpc", "unix:%(ctl)s")
modparam("usrloc", "db_mode", 0)
modparam("auth", "nonce_expire", 30)

request_route {
    if (!is_method("REGISTER")) { sl_send_reply("405", "Method Not Allowed"); exit; }
    if ($tU != "%(user)s") { sl_send_reply("404", "Not Found"); exit; }
    if (!pv_www_authenticate("$td", "%(password)s", "0")) { www_challenge("$td", "0"); exit; }
    xlog("L_NOTICE", "REGISTER of $tU from $si:$sp, From display '$fn'\\n");
    save("location");
    exit;
}
"""

KAMAILIO_MODULES = ("sl", "textops", "pv", "xlog", "usrloc", "registrar", "auth", "ctl", "kex")


def kamailio_modules():
    found = glob.glob("/usr/lib/*/kamailio/modules/registrar.so") + glob.glob("/usr/lib/kamailio/modules/registrar.so")
    return os.path.dirname(found[0]) if found else None


class Kamailio:  # a master registrar with digest authentication for one user

    def __init__(self, tmp, port, user, password):
        self.ctl = os.path.join(tmp, "kam.ctl")
        cfg = os.path.join(tmp, "kamailio.cfg")
        with open(cfg, "w") as f:
            f.write(KAMAILIO_CFG % {"port": port, "mpath": kamailio_modules(), "ctl": self.ctl, "user": user,
                                    "password": password, "modules": "\n".join(
                                        'loadmodule "%s.so"' % m for m in KAMAILIO_MODULES)})
        self.log = open(os.path.join(tmp, "kamailio.log"), "w+")
        self.proc = subprocess.Popen(["kamailio", "-f", cfg, "-DD", "-E", "-w", tmp, "-P", os.path.join(tmp, "kam.pid"),
                                      "-Y", tmp], stdout=self.log, stderr=subprocess.STDOUT)
        wait_for(lambda: os.path.exists(self.ctl) or self.proc.poll() is not None, 15, "kamailio's control socket")
        assert self.proc.poll() is None, read_text(self.log.name)

    def contacts(self):  # Kamailio's own view of its bindings
        return subprocess.run(["kamcmd", "-s", "unix:" + self.ctl, "ul.dump"], capture_output=True, text=True,
                              timeout=10).stdout

    def stop(self):
        stop_process(self.proc, timeout=10)
        self.log.close()


def have(program):
    return shutil.which(program) is not None


def wait_until(predicate, what, timeout=15):
    return wait_for(predicate, timeout, what)
