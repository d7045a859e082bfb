// Fakes of the process-level services (platform/system.h). The host name is
// scripted; a wait is short and recorded; removing a file is recorded (the
// pid file lives in the world); signalling and exiting are real, since what
// follows them is the process's end, which death tests observe.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "fakes/fake_world.h"
#include "platform/system.h"

namespace siptrunk {

std::string HostName() {
  std::lock_guard<std::mutex> lock(FakeWorld::Get().mutex);
  return FakeWorld::Get().hostName;
}

void SignalSelf(int signalNumber) {
  FakeWorld::Get().Record("system:signal " + std::to_string(signalNumber));
  kill(getpid(), signalNumber);
}

int WaitSeconds(unsigned long seconds) {
  // A few milliseconds stand for each second: tests wait for outcomes, not time.
  usleep(static_cast<useconds_t>(std::min<unsigned long>(seconds, 100) * 5000));
  return 0;
}

int WaitSecondsAdmittingTermination(unsigned long seconds) { return WaitSeconds(seconds); }

bool RemoveFile(const std::string& path) {
  FakeWorld::Get().Record("system:remove " + path);
  return true;
}

void ExitProcess(int status) { std::_Exit(status); }

}  // namespace siptrunk
