"""Termination signals that arrive at awkward moments, or that the launcher left
blocked: each still ends the daemon through one teardown."""
import signal
import sys

import pytest

from agentharness import UserAgent

STARTED = "INFO: ----Communication SIP Trunk Agent Started -----\n"
STOPPED = "INFO: ----Communication SIP Trunk Agent Stoped -----\n"
# Execs the rest of the command with SIGTERM blocked, as a careless launcher might.
BLOCK_SIGTERM = [sys.executable, "-c", "import os, signal, sys; signal.pthread_sigmask(signal.SIG_BLOCK, "
                 "[signal.SIGTERM]); os.execvp(sys.argv[1], sys.argv[1:])"]


@pytest.mark.parametrize("when", ["as it starts", "while it waits for the user agent"])
def test_sigterm_during_start_up_tears_down_once(agent, when):
    agent.start(wait_listening=when != "as it starts")
    if when == "as it starts":
        agent.wait_trace(STARTED)
    agent.send_signal(signal.SIGTERM)
    assert agent.wait_exit() == -signal.SIGTERM
    assert agent.trace_lines().count(STOPPED) == 1
    assert agent.trace_lines()[-1] == STOPPED


@pytest.mark.parametrize("how", ["stop message", "SIGTERM"])
def test_an_inherited_blocked_sigterm_still_stops_the_daemon(agent, dirs, how):
    agent.start(prefix=BLOCK_SIGTERM)
    ua = UserAgent(dirs)
    agent.wait_trace("INFO:SIP Trunk Agent: OnSetUsersList: SIP user agent connected ...\n")
    if how == "stop message":
        agent.send_update("10")
    else:
        agent.send_signal(signal.SIGTERM)
    assert agent.wait_exit(timeout=15) == -signal.SIGTERM
    assert agent.trace_lines()[-1] == STOPPED
    ua.close()
