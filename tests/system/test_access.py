"""A sender without write permission on the agent's sockets is refused."""
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

from agentharness import IS_ROOT, TYPE_LINE, AgentDirs

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]

# Tries both sockets; prints one word per attempt: "ok" or the errno name.
PROBE = r"""
import errno, socket, sys
for kind, act in ((socket.SOCK_DGRAM, lambda s: s.sendto(b"11\0", sys.argv[1])),
                  (socket.SOCK_SEQPACKET, lambda s: s.connect(sys.argv[2]))):
    try:
        act(socket.socket(socket.AF_UNIX, kind))
        print("ok")
    except OSError as e:
        print(errno.errorcode[e.errno])
"""


@pytest.fixture
def dirs():
    """Directories every user may pass through: only the sockets' own modes stand in the way."""
    root = tempfile.mkdtemp(prefix="siptrunk-access-")
    os.chmod(root, 0o755)
    yield AgentDirs(root)
    shutil.rmtree(root, ignore_errors=True)


@pytest.mark.skipif(not IS_ROOT, reason="switching to the unprivileged user needs root")
def test_a_sender_without_write_permission_is_refused(tools, dirs, agent):
    agent.start()

    def probe():
        result = subprocess.run(NOBODY + [sys.executable, "-c", PROBE, dirs.cgi_sock, dirs.ua_sock],
                                capture_output=True, text=True, timeout=30)
        assert result.returncode == 0, result.stderr
        return result.stdout.split()

    assert probe() == ["EACCES", "EACCES"]
    result = subprocess.run(NOBODY + [tools.path("siptrunkctl"), "send", "11"], env=dirs.env(), capture_output=True,
                            text=True, timeout=30)
    assert result.returncode != 0 and "permission denied on %s" % dirs.cgi_sock in result.stderr
    agent.handled_update(12)  # a later message from root is handled; nothing of nobody's was
    assert TYPE_LINE % 11 not in agent.trace_lines()
    assert not [l for l in agent.trace_lines() if "user-agent link" in l]
    # The sockets' modes are what refused them: opened up, the same user gets through.
    for sock in (dirs.cgi_sock, dirs.ua_sock):
        os.chmod(sock, 0o666)
    assert probe() == ["ok", "ok"]
    agent.wait_trace(TYPE_LINE % 11)
    agent.stop_cleanly()
