"""siptrunk-ua registering towards SIPp as a master device answering as scripted, and towards no one: the UA's
confirmation (registered, error), its own view of the answer, the agent's store and its notifications."""
import socket

import pytest

from agentharness import EventListener, store_edit
from uaharness import SippMaster, check_trunk_view, ctl_with_password, free_port, have, master_trunk_registered, \
    wait_until

pytestmark = pytest.mark.skipif(not have("sipp"), reason="sipp (Debian sip-tester) is not installed")


def start(tools, dirs, agent, ua, master_port):
    store_edit(tools, dirs, "roles", "slave", "on")
    ctl_with_password(tools, dirs, "master", "add", "uplink", "bob", "secret2", "127.0.0.1", str(master_port),
                      "--enable")
    events = EventListener(dirs)
    agent.start()
    process = ua("--listen", "127.0.0.1:%d" % free_port(), "--transport", "udp", "--retry-min", "1",
                 "--retry-max", "2", "--retry-credentials", "3", "--transaction-hold", "2000")
    return process, events


# 503: the stack itself tries again after Retry-After, up to 3 times. [200, 200]: the second answers the
# withdrawal of the trunk. (Every final status to its error code: tests/ua/ua_logic_test.cpp.)
@pytest.mark.parametrize("answers, registered, error", [
    ([200, 200], 1, 0), ([401, 200], 1, 0), ([401, 401], 0, 10), ([503] * 4, 0, 4)])
def test_master_answers(tmp_path, tools, dirs, agent, ua, answers, registered, error):
    port = free_port()
    master = SippMaster(str(tmp_path), port, answers)
    try:
        process, events = start(tools, dirs, agent, ua, port)
        process.wait_log('confirm slave "bob" registered=%d error=%d 127.0.0.1:%d' % (registered, error, port))
        wait_until(lambda: master_trunk_registered(tools, dirs, "uplink") == bool(registered), "the store")
        if not registered:
            wait_until(lambda: any(e[1] == "Registration failure" for e in events.drain()), "a notification")
            # Tried again after the back-off, and the same failure is not confirmed twice.
            process.wait_log('registering "bob"', count=2)
            assert process.log().count("confirm slave") == 1
        check_trunk_view(tools, dirs, port, answers[-1], SippMaster.PHRASES[answers[-1]], bool(registered), 60)
        if answers == [200, 200]:
            ctl_with_password(tools, dirs, "master", "disable", "uplink")
            process.wait_log('confirm slave "bob" registered=0 error=0')
            process.wait_log('un-REGISTER of "bob": 200')
        events.close()
    finally:
        master.stop()


def test_master_silent(tools, dirs, agent, ua):  # an absent one (ICMP, error 6): twodevices.py step 3
    port = free_port()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as silent:
        silent.bind(("127.0.0.1", port))  # takes the REGISTERs, never answers
        process, events = start(tools, dirs, agent, ua, port)
        process.wait_log('confirm slave "bob" registered=0 error=9')
        assert master_trunk_registered(tools, dirs, "uplink") is False
        events.close()
