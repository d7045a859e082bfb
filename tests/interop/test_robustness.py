"""Malformed SIP at siptrunk-ua's registrar: every input gets an error
response or is dropped, never a crash and never a confirmation."""
import random
import socket

from agentharness import store_edit
from uaharness import ctl_with_password, free_port

REGISTER = ("REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:%(port)d;branch=z9hG4bK%(n)d\r\n"
            "From: <sip:%(user)s@127.0.0.1>;tag=%(n)d\r\nTo: <sip:%(user)s@127.0.0.1>\r\n"
            "Call-ID: %(n)d@robust\r\nCSeq: 1 REGISTER\r\nContact: <sip:%(user)s@127.0.0.1:%(port)d>\r\n"
            "%(extra)sContent-Length: 0\r\n\r\n")


def register(port, user="nobody", n=1, extra=""):
    return (REGISTER % {"port": port, "user": user, "n": n, "extra": extra}).encode()


def test_malformed_requests(tools, dirs, agent, ua):
    store_edit(tools, dirs, "roles", "master", "on")
    ctl_with_password(tools, dirs, "trunk", "add", "trunk1", "alice", "secret")
    agent.start()
    port = free_port()
    second = ("127.0.0.2", free_port("127.0.0.2"))  # a second listening address
    process = ua("--listen", "127.0.0.1:%d" % port, "--listen", "%s:%d" % second)
    process.wait_log("UA: master list: 1 accounts, active")
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.settimeout(5)
    me = s.getsockname()[1]
    target = ("127.0.0.1", port)
    rng = random.Random(7)
    whole = register(me, "alice")
    bad = [
        whole[:len(whole) // 2],                                     # truncated
        register(me, "alice", extra="X-Big: " + "a" * 30000 + "\r\n")[:65000],  # oversized
        register(me, "alice", extra="CSeq: x REGISTER\r\n"),         # a second, bad CSeq
        register(me, "alice").replace(b"Via:", b"Vya:"),             # no Via
        register(me, "alice", extra="Expires: -5\r\nContact: *\r\n"),
        register(me, "alice", extra="Authorization: Digest username=alice, nc=zz\r\n"),
        register(me, "alice", extra="Authorization: Digest realm=\"siptrunk\", username=\"alice\", "
                                    "nonce=\"0\", uri=\"sip:x\", response=\"0\", qop=auth, nc=1, cnonce=\"\"\r\n"),
        b"\x00\xff" * 200,
        bytes(rng.getrandbits(8) for _ in range(1500)),
        b"REGISTER\r\n\r\n",
    ]
    for datagram in bad:
        s.sendto(datagram, target)
    with socket.create_connection(target, timeout=5) as tcp:  # and over TCP
        tcp.sendall(bytes(rng.getrandbits(8) for _ in range(4000)))
    statuses = {}

    def drain(timeout):
        s.settimeout(timeout)
        try:
            while True:
                data, _ = s.recvfrom(65536)
                status = data.split(b" ", 2)[1].decode(errors="replace")
                statuses[status] = statuses.get(status, 0) + 1
        except socket.timeout:
            pass
    # In bursts of 50, read between them: the answers must not overflow our
    # own receive buffer.
    for n in range(1000):
        s.sendto(register(me, "user%d" % n, n=n + 100), target)
        if n % 50 == 49:
            drain(0.05)
    drain(2)
    assert statuses.get("404", 0) >= 990, statuses  # unknown users (UDP may drop a few)
    assert process.running(), "siptrunk-ua ended"
    # Still serving, on both addresses: a plain request for an unknown user is answered.
    s.settimeout(5)
    for n, address in enumerate((target, second)):
        s.sendto(register(me, "stranger", n=5000 + n), address)
        data, _ = s.recvfrom(65536)
        assert b" 404 " in data.split(b"\r\n")[0], address
    assert "confirm master" not in process.log()
    s.close()
