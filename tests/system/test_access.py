"""A sender without write permission on the agent's sockets is refused."""
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

from agentharness import IS_ROOT, AgentDirs

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
    result = subprocess.run(NOBODY + [sys.executable, "-c", PROBE, dirs.cgi_sock, dirs.ua_sock], capture_output=True,
                            text=True, timeout=30)
    assert result.stdout.split() == ["EACCES", "EACCES"], result.stderr
    agent.handled_update()
    assert not [l for l in agent.trace_lines() if "user-agent link" in l]
    agent.stop_cleanly()
