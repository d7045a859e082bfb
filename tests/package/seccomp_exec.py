#!/usr/bin/python3
"""Runs a program under the system-call filter that a systemd unit asks for,
where systemd itself cannot set it up (no systemd as PID 1): the unit's
SystemCallFilter= allow-list (groups expanded by `systemd-analyze
syscall-filter`, the "~" groups taken out), SystemCallErrorNumber= for the
rest, and RestrictAddressFamilies= as a filter on socket()'s family.

    seccomp_exec.py UNIT_FILE PROGRAM [ARG...]

SECCOMP_ALLOWED_CALLS in the environment may hold the allowed calls already
expanded (allowed_calls(), separated by spaces); it is not passed on. Needs no_new_privs (setpriv --no-new-privs) or CAP_SYS_ADMIN, and python3-seccomp."""
import errno
import os
import socket
import subprocess
import sys


def unit_settings(path):
    settings = {}
    section = None
    with open(path) as f:
        for raw in f:
            line = raw.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
            elif section == "[Service]" and "=" in line:
                key, _, value = line.partition("=")
                settings.setdefault(key, []).append(value)
    return settings


def expand(group, seen=None):
    """The system calls of a name: a group (recursively) or a single call."""
    if not group.startswith("@"):
        return {group}
    seen = seen if seen is not None else set()
    if group in seen:
        return set()
    seen.add(group)
    listing = subprocess.run(["systemd-analyze", "syscall-filter", group], capture_output=True,
                             text=True, check=True).stdout.splitlines()[1:]
    calls = set()
    for line in listing:
        name = line.strip()
        if name and not name.startswith("#"):
            calls |= expand(name, seen)
    return calls


def allowed_calls(filters):
    allowed = set()
    for value in filters:
        if value.startswith("~"):
            for name in value[1:].split():
                allowed -= expand(name)
        else:
            for name in value.split():
                allowed |= expand(name)
    return allowed


def main():
    import seccomp  # python3-seccomp; only the launcher itself needs it
    unit, argv = sys.argv[1], sys.argv[2:]
    settings = unit_settings(unit)
    error = getattr(errno, settings.get("SystemCallErrorNumber", ["EPERM"])[-1])
    families = settings.get("RestrictAddressFamilies", [""])[-1].split()
    flt = seccomp.SyscallFilter(defaction=seccomp.ERRNO(error))
    given = os.environ.pop("SECCOMP_ALLOWED_CALLS", None)
    calls = given.split() if given else allowed_calls(settings.get("SystemCallFilter", []))
    for call in sorted(calls):
        if call == "socket" and families:
            continue
        try:
            flt.add_rule(seccomp.ALLOW, call)
        except (RuntimeError, ValueError):
            pass  # not a system call on this architecture
    for family in families:
        flt.add_rule(seccomp.ALLOW, "socket", seccomp.Arg(0, seccomp.EQ, int(getattr(socket, family))))
    # A socket of any other family fails with the default error (systemd
    # answers EAFNOSUPPORT there; the agent treats both as a failed socket).
    flt.load()
    os.execv(argv[0], argv)


if __name__ == "__main__":
    main()
