"""Soak: mixed update messages and confirmations from two processes at once
against the real daemon. Afterwards the store, the agent's view of it and what
the simulated user agent last received must agree, and nothing may crash.
SIPTRUNK_SOAK_MESSAGES sets the total (default 10,000)."""
import collections
import json
import os
import random
import subprocess

from agentharness import TraceFollower, ctl, status, store_edit, wait_for

TOTAL = int(os.environ.get("SIPTRUNK_SOAK_MESSAGES", "10000"))
TYPE_LINES = "MESS: Incoming update message from SIP Trunk settings CGI. type: *"
MARKER = "MESS: Incoming update message from SIP Trunk settings CGI. type: # 0b \n"


def settings_commands(rng, count):
    """Settings changes that keep every SIP trunk user and every trunk-to-master
    user unique, so the user agent's record can be compared account by account."""
    trunks, masters, commands = {}, set(), []
    for serial in range(1, 10 * count):
        if len(commands) == count:
            break
        roll, trunk, master = rng.random(), rng.choice(sorted(trunks) or [None]), rng.choice(sorted(masters) or [None])
        new = "t%d" % serial
        if roll < 0.3 or not trunk:
            trunks[new] = "user%d" % serial
            commands.append((["trunk", "add", new, trunks[new]] + ["--symmetric-nat"] * (serial % 3 == 0), "pw%d" % serial))
        elif roll < 0.4:
            trunks[new] = trunks.pop(trunk)
            commands.append((["trunk", "rename", trunk, new], None))
        elif roll < 0.5:
            del trunks[trunk]
            trunks[new] = "user%d" % serial
            commands.append((["trunk", "edit", trunk, new, trunks[new]], "pw%d" % serial))
        elif roll < 0.6:
            del trunks[trunk]
            commands.append((["trunk", "delete", trunk], None))
        elif roll < 0.75 or not master:
            masters.add("m%d" % serial)
            commands.append((["master", "add", "m%d" % serial, "muser%d" % serial, "192.0.2.%d" % (1 + serial % 200),
                              "5060"] + ["--enable"] * (serial % 2), "pw"))
        elif roll < 0.85:
            commands.append((["master", rng.choice(["enable", "disable"]), master], None))
        elif roll < 0.92:
            masters.remove(master)
            masters.add("m%d" % serial)
            commands.append((["master", "edit", master, "m%d" % serial, "muser%d" % serial,
                              "198.51.100.%d" % (1 + serial % 200), "5070"], "pw"))
        else:
            masters.remove(master)
            commands.append((["master", "delete", master], None))
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
        assert agent.running()
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
        agent.stop_cleanly()
    finally:
        uasim.terminate()
        uasim.wait(timeout=10)
