// The process entry of siptrunk-agent and its signal handling.
//
// How a handled signal ends the process:
//   1. ResourceCleaner runs on whichever thread received the signal, with
//      every signal blocked. It does only async-signal-safe work: the first
//      handled signal claims the teardown and hands it, through a pipe, to the
//      teardown thread; it then waits (poll on a second pipe) until the
//      teardown has finished, at most kTeardownBoundMs.
//   2. The teardown thread, an ordinary thread begun before the agent and
//      blocking every signal, deletes the agent (the whole teardown runs
//      there, never in a signal handler and never on a listen thread) and
//      reports back.
//   3. The handler reinstalls the signal's previous action and raises the
//      signal again; the process ends by that signal (128+N for a shell; a
//      core image where the default action makes one).
// Every thread blocks the termination signals (SIGTERM, SIGINT, SIGHUP,
// SIGQUIT) except the entry's thread while it waits: in Start's wait for the
// user agent and in the idle loop, both after the listen threads' handles are
// stored and with no lock held. So the handler never interrupts a lock holder
// or a half-done Start, and waits for the teardown without a bound. A fault
// on a listen thread is handled on that thread: it is marked gone so the
// teardown does not wait for it, and a fault's wait is bounded
// (kTeardownBoundMs), so a fault never leaves a deadlocked process behind.
#pragma once

#include <atomic>

class CSIPTrunkAgent;

// The one agent; null until constructed and again after the teardown.
extern std::atomic<CSIPTrunkAgent*> pSTAgent;

// The handler of the nine handled signals.
void ResourceCleaner(int signalNumber);

// The whole process entry. It returns only when it fails: 1 when the
// teardown thread cannot begin or an exception reached it (its text printed).
int RunSipTrunkAgent();

// The longest a fault signal's handler waits for the teardown before it ends
// the process regardless.
constexpr int kTeardownBoundMs = 5000;
