// Talking to the agent: the update message on queue 117, and the probes that
// tell whether an agent is running.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>

#include "platform/cgi_messenger.h"
#include "platform/paths.h"
#include "tools/siptrunkctl/ctl.h"

namespace siptrunk {
namespace ctl {

SocketProbe ProbeDatagramSocket(const std::string& path, std::string* why) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *why = "socket path too long: " + path;
    return SocketProbe::kProbeError;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = std::string("socket: ") + std::strerror(errno);
    return SocketProbe::kProbeError;
  }
  const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int savedErrno = errno;
  close(fd);
  if (rc == 0) return SocketProbe::kLive;
  if (savedErrno == ENOENT || savedErrno == ECONNREFUSED) return SocketProbe::kNoListener;
  *why = path + ": " + std::strerror(savedErrno);
  return SocketProbe::kProbeError;
}

// The first 4 KiB of a small text file (a pid file, /proc/PID/stat); empty
// when it cannot be read. stdio rather than fstream keeps iostream's locale
// machinery out of the device's static binary.
std::string ReadSmallFile(const std::string& path) {
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "re")) {
    char buffer[4096];
    text.assign(buffer, std::fread(buffer, 1, sizeof buffer, file));
    std::fclose(file);
  }
  return text;
}

bool ProcessLives(long pid) {
  if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) return false;
  // A zombie has ended; only its parent has not reaped it yet. Its state is
  // the field after the name, which is in parentheses and may hold anything.
  const std::string text = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

long LivePidFromFile(const std::string& path) {
  const std::string text = ReadSmallFile(path);
  char* end = nullptr;
  const long pid = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || pid <= 0) return 0;
  return ProcessLives(pid) ? pid : 0;
}

int SendToAgent(const Command& command, const std::list<std::string>& items, bool afterStoreEdit) {
  std::string error;
  if (CyclicMessageQueue::SendUpdate(kSettingsQueue, items, &error)) return kExitOk;

  const std::string path = CgiSocketPath(kSettingsQueue);
  std::string why;
  const SocketProbe probe = ProbeDatagramSocket(path, &why);
  const std::string name = CommandName(command);
  if (probe == SocketProbe::kNoListener) {
    if (afterStoreEdit) {
      std::fprintf(stderr,
                   "%s: the store is updated, but the agent is not running (nothing listens on %s); "
                   "the agent will pick it up at its next load\n",
                   name.c_str(), path.c_str());
    } else {
      std::fprintf(stderr, "%s: the agent is not running (nothing listens on %s); nothing was sent\n",
                   name.c_str(), path.c_str());
    }
    return kExitAgentDown;
  }
  std::fprintf(stderr, "%s: could not send the update message to %s: %s%s\n", name.c_str(), path.c_str(),
               error.c_str(), afterStoreEdit ? " (the store edit is kept)" : "");
  return kExitFailure;
}

}  // namespace ctl
}  // namespace siptrunk
