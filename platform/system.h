// The few process-level services the agent's own code needs from the system.
// The agent reaches the system only through platform/, so that every one of
// its paths also runs over the unit tests' fakes of these functions.
// Thread-safe; none of them is async-signal-safe except SignalSelf.
#pragma once

#include <string>

namespace siptrunk {

// This device's host name, or an empty text when it cannot be read.
std::string HostName();

// Sends `signalNumber` to this process (process-directed, like kill(getpid())).
void SignalSelf(int signalNumber);

// Waits whole seconds; a signal handled on this thread ends the wait early.
// Returns 0 after a full wait, -1 when a signal cut it short.
int WaitSeconds(unsigned long seconds);

// As WaitSeconds, with the termination signals (Thread::TerminationSignals)
// unblocked on the calling thread for the wait only, atomically (pselect):
// the process entry's thread receives them here, at a point where it holds
// no lock, and nowhere else.
int WaitSecondsAdmittingTermination(unsigned long seconds);

// Removes a file; a file that is not there is no error. False on failure.
bool RemoveFile(const std::string& path);

// Ends the process at once with `status` (a start-up failure with no way on).
[[noreturn]] void ExitProcess(int status);

}  // namespace siptrunk
