"""Kamailio as a master registrar with digest authentication for siptrunk-ua's slave role, checked
through Kamailio's own view of its contacts, and siptrunkctl's view of what the UA last heard."""
import re

import pytest

from agentharness import store_edit
from uaharness import Kamailio, check_trunk_view, ctl_with_password, free_port, have, kamailio_modules, \
    master_trunk_registered, wait_until

pytestmark = pytest.mark.skipif(not (have("kamailio") and have("kamcmd") and kamailio_modules()),
                                reason="kamailio is not installed (Debian kamailio)")


@pytest.mark.parametrize("password, registered, error", [("secret2", 1, 0), ("wrong", 0, 10)])
def test_registration_on_kamailio(tmp_path, tools, dirs, agent, ua, password, registered, error):
    port = free_port()
    kamailio = Kamailio(str(tmp_path), port, "bob", "secret2")
    try:
        store_edit(tools, dirs, "roles", "slave", "on")
        ctl_with_password(tools, dirs, "master", "add", "uplink", "bob", password, "127.0.0.1", str(port),
                          "--enable")
        agent.start()
        process = ua("--listen", "127.0.0.1:%d" % free_port(), "--transport", "udp", "--retry-credentials", "3")
        process.wait_log('confirm slave "bob" registered=%d error=%d' % (registered, error))
        wait_until(lambda: master_trunk_registered(tools, dirs, "uplink") == bool(registered), "the store")
        contacts = kamailio.contacts()
        if registered:
            assert "sip:bob@127.0.0.1" in contacts
            granted = int(re.search(r"Expires: (\d+)", contacts).group(1))  # seconds left, Kamailio's count
            check_trunk_view(tools, dirs, port, 200, "OK", True, granted)
            ctl_with_password(tools, dirs, "master", "disable", "uplink")
            process.wait_log('un-REGISTER of "bob": 200')
            wait_until(lambda: "sip:bob@" not in kamailio.contacts(), "the contact gone from Kamailio")
        else:
            assert "sip:bob@" not in contacts
            check_trunk_view(tools, dirs, port, 401, "Unauthorized", False)
    finally:
        kamailio.stop()
