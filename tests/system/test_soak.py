"""Soak: update messages and confirmations from two processes at once; afterwards the store, the agent and
the simulated user agent must agree. SIPTRUNK_SOAK_MESSAGES sets the total (default 10,000)."""
import collections
import json
import os
import random
import subprocess

from agentharness import CONNECTED, TraceFollower, ctl, status, store_edit, wait_for

TOTAL = int(os.environ.get("SIPTRUNK_SOAK_MESSAGES", "10000"))
TYPE_LINES = "MESS: Incoming update message from SIP Trunk settings CGI. type: *"


def settings_commands(count):  # users stay unique, so the records compare account by account
    commands = []
    for i in range(count // 7 + 1):
        commands += [
            (["trunk", "add", "t%d" % i, "user%d" % i] + ["--symmetric-nat"] * (i % 3 == 0), "pw%d" % i),
            (["trunk", "rename", "t%d" % i, "r%d" % i], None),
            (["trunk", "edit", "r%d" % i, "e%d" % i, "user%db" % i], "pw"),
            (["master", "add", "m%d" % i, "muser%d" % i, "192.0.2.%d" % (1 + i % 200), "5060", "--enable"], "pw"),
            (["master", "disable", "m%d" % i], None),
            (["master", "edit", "m%d" % i, "n%d" % i, "muser%db" % i, "198.51.100.%d" % (1 + i % 200), "5070"], "pw"),
            (["master", "enable", "n%d" % i], None)]
        if i % 2:
            commands += [(["trunk", "delete", "e%d" % (i - 1)], None), (["master", "delete", "n%d" % (i - 1)], None)]
    return commands[:count]


def confirmation_script(rng, count):
    lines = []
    for i in range(count):
        if rng.random() < 0.7:
            lines.append("confirm master user%d pw 192.0.2.%d %d %d 0" % (
                rng.randrange(1, 2 * count), rng.randrange(2, 250), 5060 + rng.randrange(3), rng.random() < 0.7))
        else:
            lines.append("confirm slave muser%d 192.0.2.1 5060 %d %d" % (
                rng.randrange(1, 2 * count), rng.randrange(2), rng.choice([0, 0, 7, 9, 10, 13])))
        if i % 20 == 19:
            lines.append("sleep 2")  # lets the simulator read what the agent sends meanwhile
    return "\n".join(lines) + "\n"


def test_soak_store_agent_and_user_agent_agree(agent, tools, dirs):
    rng = random.Random(20261206)
    store_edit(tools, dirs, "roles", "master", "on")
    store_edit(tools, dirs, "roles", "slave", "on")
    agent.start()

    settings_count, script, state_file = TOTAL // 2, *(os.path.join(dirs.root, n) for n in ("script", "ua-state.json"))
    with open(script, "w") as f:
        f.write(confirmation_script(rng, TOTAL - settings_count))
    uasim = subprocess.Popen([tools.path("siptrunk-uasim"), "--socket", dirs.ua_sock, "--script", script, "--stay",
                              "--state", state_file, "--auto-confirm-slave", "--wait", "10"],
                             env=dirs.env(), stdout=open(os.path.join(dirs.root, "uasim.out"), "w"),
                             stderr=subprocess.STDOUT)
    try:
        agent.wait_trace(CONNECTED)
        # One change at a time, as the settings CGI does: a message names rows as they are when it is sent.
        follower = TraceFollower(dirs.log_path)
        for sent, (command, password) in enumerate(settings_commands(settings_count), 1):
            ctl(tools, dirs, *command, password=password)  # every command sends an update message
            follower.wait(TYPE_LINES, sent, timeout=60)

        agent.handled_update()  # handled in order: once the marker is traced, all are
        wait_for(lambda: os.path.exists(state_file), what="user agent state")
        assert agent.running() and uasim.poll() is None, "the agent or the simulated user agent ended"

        store = status(tools, dirs)
        multiset = lambda rows, keys: collections.Counter(tuple(r[k] for k in keys) for r in rows)  # noqa: E731
        enabled = [t for t in store["trunks_to_master"] if t["enabled"]]

        def agrees():
            with open(state_file) as f:
                held = json.load(f)
            return held["master"]["active"] and held["slave"]["active"] and all(
                multiset(held[role]["accounts"], keys) == multiset(rows, keys) for role, rows, keys in (
                    ("master", store["sip_trunks"], ("user", "password")),
                    ("slave", enabled, ("user", "address", "port"))))

        wait_for(agrees, timeout=30, what="the user agent's record to match the store")
        slaves = store["registered_slaves"]
        assert len({(s["user"], s["address"], s["port"]) for s in slaves}) == len(slaves)
        agent.stop_cleanly()
    finally:
        uasim.terminate()
        uasim.wait(timeout=10)
