"""Start-up with and without the regulator, teardown on every handled signal (also at awkward moments, or left
blocked by the launcher), and the settings link, its sockets' modes, while no user agent is there."""
import os
import signal
import sys
import time

import pytest

from agentharness import CONNECTED, IS_ROOT, STOPPED, TYPE_LINE, UserAgent

STARTED = "INFO: ----Communication SIP Trunk Agent Started -----\n"
SIP_THREAD = "INFO: SIP Trunk Agent: The SIPListenThread started...\n"
CGI_THREAD = "INFO: SIP Trunk Agent: The CGIListenThread started...\n"
NO_REGULATOR = "ERROR: Creating LAN-traffic regulation socket failed.\n"
# Execs the rest of the command with SIGTERM blocked, as a careless launcher might.
BLOCK_SIGTERM = [sys.executable, "-c", "import os, signal, sys; signal.pthread_sigmask(signal.SIG_BLOCK, "
                 "[signal.SIGTERM]); os.execvp(sys.argv[1], sys.argv[1:])"]


@pytest.mark.parametrize("regulator", [True, False])
def test_startup_opens_the_regulator_before_the_sip_thread_or_runs_without_it(agent, tools, regulator):
    if regulator and (not IS_ROOT or tools.emulated):
        pytest.skip("the regulator needs CAP_NET_ADMIN in a private namespace, and qemu-user has no NETLINK_NETFILTER")
    agent.start(prefix=None if regulator or not IS_ROOT else ["setpriv", "--bounding-set=-net_admin",
                                                              "--inh-caps=-net_admin"])
    order = [STARTED] + ([] if regulator else [NO_REGULATOR]) + [SIP_THREAD, CGI_THREAD]
    assert [l for l in agent.trace_lines() if l in order + [NO_REGULATOR]] == order  # the regulator before SIP
    agent.stop_cleanly()


# Every handled signal, then SIGTERM at awkward moments (or blocked by the launcher).
@pytest.mark.parametrize("when", ["SIGTERM", "SIGINT", "SIGHUP", "SIGQUIT", "SIGSEGV", "SIGBUS", "SIGILL", "SIGFPE",
                                  "SIGABRT", "as it starts", "while it waits for the user agent", "during the teardown",
                                  "on a listen thread", "blocked by the launcher", "stop message, blocked"])
def test_each_handled_signal_tears_down_once_and_ends_by_that_signal(agent, dirs, when):
    agent.start(prefix=BLOCK_SIGTERM if "blocked" in when else None, wait_listening=when != "as it starts")
    ua, signum = None, getattr(signal, when) if when.startswith("SIG") else signal.SIGTERM
    if when == "as it starts":
        agent.wait_trace(STARTED)
    elif when != "while it waits for the user agent":
        ua = UserAgent(dirs)
        agent.wait_trace(CONNECTED)
    if when == "stop message, blocked":
        agent.send_update("10")
    elif when == "on a listen thread":
        # A fault on one listen thread (the last begun): the handler runs there; the teardown must not wait for it.
        if os.uname().machine != "x86_64":
            pytest.skip("tgkill is called by its x86_64 number")
        import ctypes
        tasks = sorted(int(t) for t in os.listdir("/proc/%d/task" % agent.pid))
        assert len(tasks) >= 4  # entry, teardown thread, the two listen threads
        signum = signal.SIGSEGV
        assert ctypes.CDLL(None, use_errno=True).syscall(234, agent.pid, tasks[-1], signum) == 0
    else:
        agent.send_signal(signum)
    if when == "during the teardown":
        # Pending signals are delivered lowest number first: a pause makes SIGTERM's teardown the one under way.
        time.sleep(0.05)
        agent.send_signal(signal.SIGINT)
        agent.send_signal(signal.SIGHUP)
    assert agent.wait_exit(timeout=15) == -signum  # a fault signal never leaves the process hanging
    assert agent.trace_lines()[-1] == STOPPED and agent.trace_lines().count(STOPPED) == 1
    assert not os.path.exists(dirs.pid_file)
    if ua:
        ua.close()


def test_without_user_agent_settings_are_received_and_stop_signals_are_ignored(agent, dirs):
    agent.start()
    # Only the agent's owner and group may send on its sockets (the kernel refuses others by these modes).
    assert [os.stat(p).st_mode & 0o777 for p in (dirs.log_path, dirs.ua_sock, dirs.cgi_sock)] == [0o600, 0o660, 0o660]
    agent.handled_update()
    for signum in (signal.SIGPIPE, signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU):
        agent.send_signal(signum)
    time.sleep(0.3)
    with open("/proc/%d/status" % agent.pid) as f:
        assert "T (stopped)" not in [l for l in f if l.startswith("State:")][0]
    assert TYPE_LINE % 11 in agent.trace_lines()
    agent.stop_cleanly()
