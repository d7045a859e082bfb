"""The daemon's life: start-up, the regulator's availability, teardown on
every handled signal, and the settings link while no user agent is there."""
import os
import signal
import time

import pytest

from agentharness import IS_ROOT, UserAgent

STARTED = [
    "INFO: ----Communication SIP Trunk Agent Started -----\n",
    "INFO: SIP Trunk Agent: The SIPListenThread started...\n",
]
AFTER_REGULATOR = [
    "INFO: SIP Trunk Agent: The CGIListenThread started...\n",
    "INFO: Waiting for SIP user agent ...\n",
]
STOPPED = "INFO: ----Communication SIP Trunk Agent Stoped -----\n"
NO_REGULATOR = "ERROR: Creating LAN-traffic regulation socket failed.\n"


def agent_lines(agent):
    """Trace lines of the agent itself (platform diagnostics left out)."""
    return [l for l in agent.trace_lines() if not l.startswith("ERROR: ua link") and not l.startswith("ERROR: Store")]


@pytest.mark.skipif(not IS_ROOT, reason="opening the regulator needs root (CAP_NET_ADMIN) in a private namespace")
def test_startup_lines_in_order_with_regulator_open_in_private_namespace(agent, tools):
    if tools.emulated:
        pytest.skip("the emulated agent has no regulator: qemu-user cannot open a NETLINK_NETFILTER socket")
    agent.start()
    lines = agent_lines(agent)
    assert lines[:4] == STARTED + AFTER_REGULATOR
    assert NO_REGULATOR not in lines
    assert agent.stop() == -signal.SIGTERM


def test_startup_without_cap_net_admin_runs_without_regulator(agent):
    prefix = ["setpriv", "--bounding-set=-net_admin", "--inh-caps=-net_admin"] if IS_ROOT else None
    agent.start(prefix=prefix)
    lines = agent.trace_lines()
    assert lines[0] == STARTED[0]
    assert lines.index(NO_REGULATOR) < lines.index(STARTED[1])  # the regulator opens before the SIP thread
    assert NO_REGULATOR in lines
    assert lines.index(NO_REGULATOR) < lines.index(AFTER_REGULATOR[0])
    assert agent.stop() == -signal.SIGTERM
    assert agent.trace_lines()[-1] == STOPPED


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT, signal.SIGSEGV,
                                    signal.SIGBUS, signal.SIGILL, signal.SIGFPE, signal.SIGABRT])
def test_each_handled_signal_tears_down_once_and_ends_by_that_signal(agent, dirs, signum):
    agent.start()
    ua = UserAgent(dirs)
    agent.wait_trace("INFO:SIP Trunk Agent: OnSetUsersList: SIP user agent connected ...\n")
    assert os.path.exists(dirs.pid_file)
    agent.send_signal(signum)
    assert agent.wait_exit(timeout=15) == -signum  # a fault signal never leaves the process hanging
    lines = agent.trace_lines()
    assert lines.count(STOPPED) == 1
    assert lines[-1] == STOPPED
    assert not os.path.exists(dirs.pid_file)
    ua.close()


def test_a_second_signal_during_the_teardown_does_nothing_more(agent, dirs):
    agent.start()
    ua = UserAgent(dirs)
    agent.send_signal(signal.SIGTERM)
    # Signals pending together are delivered lowest number first; a short
    # pause makes SIGTERM the one whose teardown is under way (it lasts at
    # least one listen pass).
    time.sleep(0.05)
    agent.send_signal(signal.SIGINT)
    agent.send_signal(signal.SIGHUP)
    assert agent.wait_exit() == -signal.SIGTERM
    assert agent.trace_lines().count(STOPPED) == 1
    ua.close()


@pytest.mark.skipif(os.uname().machine != "x86_64", reason="tgkill is called by its x86_64 number")
def test_a_fault_on_a_listen_thread_never_leaves_a_stuck_process(agent, dirs):
    import ctypes
    agent.start()
    ua = UserAgent(dirs)
    agent.wait_trace("INFO:SIP Trunk Agent: OnSetUsersList: SIP user agent connected ...\n")
    tasks = sorted(int(t) for t in os.listdir("/proc/%d/task" % agent.pid))
    assert len(tasks) >= 4  # entry, teardown thread, the two listen threads
    # A fault delivered to one listen thread (the last begun): the handler runs
    # there, and the teardown must not wait for that thread.
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.syscall(234, agent.pid, tasks[-1], signal.SIGSEGV) == 0
    assert agent.wait_exit(timeout=15) == -signal.SIGSEGV
    assert agent.trace_lines().count(STOPPED) == 1
    ua.close()


def test_without_user_agent_settings_are_received_and_stop_signals_are_ignored(agent, dirs):
    agent.start()
    assert os.stat(dirs.log_path).st_mode & 0o777 == 0o600
    for sock in (dirs.ua_sock, dirs.cgi_sock):
        assert os.stat(sock).st_mode & 0o777 == 0o660
    agent.send_update("11")
    agent.wait_trace("MESS: Incoming update message from SIP Trunk settings CGI. type: # 0b \n")
    for signum in (signal.SIGPIPE, signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU):
        agent.send_signal(signum)
    time.sleep(0.3)
    assert agent.running()
    with open("/proc/%d/status" % agent.pid) as f:
        state = [l for l in f if l.startswith("State:")][0]
    assert "T (stopped)" not in state
    assert agent.stop() == -signal.SIGTERM
    assert agent.trace_lines()[-1] == STOPPED
