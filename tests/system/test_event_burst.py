"""A burst of registrations: a listener that reads a few ms behind, and the
syslog reader, still get every notification, in order."""
import os
import socket
import threading
import time

from agentharness import IS_ROOT, EventListener, UserAgent, private_dev_log_prefix, store_edit, unpack, wait_for

BURST = 500


def slow_reader(sock, received):
    """Reads every datagram a few ms after the one before, until the socket closes."""
    sock.settimeout(None)
    while True:
        try:
            data = sock.recv(65536)
        except OSError:
            return
        if not data:
            return
        received.append(data)
        time.sleep(0.003)


def test_a_burst_of_registrations_reaches_a_slow_listener_whole_and_in_order(agent, tools, dirs):
    store_edit(tools, dirs, "roles", "master", "on")
    syslog = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    syslog_path = os.path.join(dirs.root, "log.sock")
    syslog.bind(syslog_path)
    agent.start(prefix=private_dev_log_prefix(dirs, syslog_path) if IS_ROOT else None)
    listener = EventListener(dirs)
    events, lines = [], []
    readers = [threading.Thread(target=slow_reader, args=(listener.sock, events)),
               threading.Thread(target=slow_reader, args=(syslog, lines))]
    for reader in readers:
        reader.start()
    ua = UserAgent(dirs)
    ua.set_users_list()
    for i in range(BURST):
        ua.confirm(True, 0, True, user="u%d" % i, password="pw", addr="192.0.2.10", port=str(10000 + i))
    try:
        wait_for(lambda: len(events) >= BURST, timeout=60, what="%d notifications" % BURST)
        assert [unpack(e)[2] for e in events] == [
            "Successfully registered user u%d(192.0.2.10:%d) on master device " % (i, 10000 + i) for i in range(BURST)]
        if IS_ROOT:
            wait_for(lambda: len(lines) >= BURST, what="every syslog line")
        assert not [l for l in agent.trace_lines() if "notifications lost" in l]
    finally:
        for s in (listener.sock, syslog):
            s.shutdown(socket.SHUT_RDWR)
            s.close()
        for reader in readers:
            reader.join()
        ua.close()
