"""Soak: mixed update messages and confirmations from two processes at once
against the real daemon. Afterwards the store, the agent's view of it and what
the simulated user agent last received must agree, and nothing may crash.
SIPTRUNK_SOAK_MESSAGES sets the total (default 10,000)."""
import collections
import json
import os
import random
import signal
import subprocess

from agentharness import TraceFollower, ctl, status, store_edit, wait_for

TOTAL = int(os.environ.get("SIPTRUNK_SOAK_MESSAGES", "10000"))
TYPE_LINES = "MESS: Incoming update message from SIP Trunk settings CGI. type: *"
MARKER = "MESS: Incoming update message from SIP Trunk settings CGI. type: # 0b \n"


def settings_commands(rng, count):
    """Settings changes that keep every SIP trunk user and every trunk-to-master
    user unique, so the user agent's record can be compared account by account."""
    trunks, masters, commands = {}, {}, []
    serial = 0
    while len(commands) < count:
        serial += 1
        roll = rng.random()
        if roll < 0.3 or not trunks:
            name = "t%d" % serial
            trunks[name] = "user%d" % serial
            commands.append((["trunk", "add", name, trunks[name]] + (["--symmetric-nat"] if serial % 3 == 0 else []),
                             "pw%d" % serial))
        elif roll < 0.4:
            old = rng.choice(sorted(trunks))
            new = "t%d" % serial
            trunks[new] = trunks.pop(old)
            commands.append((["trunk", "rename", old, new], None))
        elif roll < 0.5:
            old = rng.choice(sorted(trunks))
            new = "t%d" % serial
            trunks.pop(old)
            trunks[new] = "user%d" % serial
            commands.append((["trunk", "edit", old, new, trunks[new]], "pw%d" % serial))
        elif roll < 0.6:
            name = rng.choice(sorted(trunks))
            trunks.pop(name)
            commands.append((["trunk", "delete", name], None))
        elif roll < 0.75 or not masters:
            name = "m%d" % serial
            masters[name] = True
            commands.append((["master", "add", name, "muser%d" % serial, "192.0.2.%d" % (1 + serial % 200), "5060"]
                             + (["--enable"] if serial % 2 else []), "pw"))
        elif roll < 0.85:
            name = rng.choice(sorted(masters))
            commands.append((["master", "enable" if rng.random() < 0.5 else "disable", name], None))
        elif roll < 0.92:
            old = rng.choice(sorted(masters))
            new = "m%d" % serial
            masters[new] = masters.pop(old)
            commands.append((["master", "edit", old, new, "muser%d" % serial, "198.51.100.%d" % (1 + serial % 200),
                             "5070"], "pw"))
        else:
            name = rng.choice(sorted(masters))
            masters.pop(name)
            commands.append((["master", "delete", name], None))
    return commands


def confirmation_script(rng, count):
    lines = []
    for i in range(count):
        if rng.random() < 0.7:
            user = "user%d" % rng.randrange(1, 2 * count)
            lines.append("confirm master %s pw 192.0.2.%d %d %d 0" % (
                user, rng.randrange(2, 250), 5060 + rng.randrange(3), 1 if rng.random() < 0.7 else 0))
        else:
            lines.append("confirm slave muser%d 192.0.2.1 5060 %d %d" % (
                rng.randrange(1, 2 * count), rng.randrange(2), rng.choice([0, 0, 7, 9, 10, 13])))
        if i % 20 == 19:
            lines.append("sleep 2")  # lets the simulator read what the agent sends meanwhile
    return "\n".join(lines) + "\n"


def multiset(accounts, keys):
    return collections.Counter(tuple(a[k] for k in keys) for a in accounts)


def test_soak_store_agent_and_user_agent_agree(agent, tools, dirs):
    rng = random.Random(20261206)
    store_edit(tools, dirs, "roles", "master", "on")
    store_edit(tools, dirs, "roles", "slave", "on")
    agent.start()

    settings_count = TOTAL // 2
    script = os.path.join(dirs.root, "confirmations.txt")
    with open(script, "w") as f:
        f.write(confirmation_script(rng, TOTAL - settings_count))
    state_file = os.path.join(dirs.root, "ua-state.json")
    uasim = subprocess.Popen([tools.path("siptrunk-uasim"), "--socket", dirs.ua_sock, "--script", script, "--stay",
                              "--state", state_file, "--auto-confirm-slave", "--wait", "10"],
                             env=dirs.env(), stdout=open(os.path.join(dirs.root, "uasim.out"), "w"),
                             stderr=subprocess.STDOUT)
    try:
        agent.wait_trace("INFO:SIP Trunk Agent: OnSetUsersList: SIP user agent connected ...\n")
        failures = []

        # Like the device's settings CGI, the driver makes one change at a time:
        # each update message names rows of the store as they are when it is
        # sent, so the next edit waits until the agent has taken the message.
        follower = TraceFollower(dirs.log_path)

        sent = 0
        for command, password in settings_commands(rng, settings_count):
            code, out, err = ctl(tools, dirs, *command, check=False, password=password)
            if code != 0:
                failures.append((command, code, err))
                continue
            if (command[:2] == ["master", "add"] and "--enable" not in command) or "nothing to do" in out:
                continue  # this command sends no update message
            sent += 1
            follower.wait(TYPE_LINES, sent, timeout=60)
        assert failures == []

        # Update messages are handled in order: once the marker is traced, all are.
        ctl(tools, dirs, "send", "11")
        agent.wait_trace(MARKER, timeout=120)
        wait_for(lambda: os.path.exists(state_file), what="user agent state")
        assert agent.running(), agent.stderr_text()
        assert uasim.poll() is None, "the simulated user agent ended"

        store = status(tools, dirs)

        def agrees():
            with open(state_file) as f:
                held = json.load(f)
            master_ok = multiset(held["master"]["accounts"], ("user", "password")) == multiset(
                store["sip_trunks"], ("user", "password"))
            enabled = [t for t in store["trunks_to_master"] if t["enabled"]]
            slave_ok = multiset(held["slave"]["accounts"], ("user", "address", "port")) == multiset(
                enabled, ("user", "address", "port"))
            return master_ok and slave_ok and held["master"]["active"] and held["slave"]["active"]

        wait_for(agrees, timeout=30, what="the user agent's record to match the store")
        slaves = store["registered_slaves"]
        assert len({(s["user"], s["address"], s["port"]) for s in slaves}) == len(slaves)
        assert agent.stop() == -signal.SIGTERM
    finally:
        uasim.terminate()
        uasim.wait(timeout=10)
