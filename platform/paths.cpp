#include "platform/paths.h"

#include <cstdlib>

namespace siptrunk {
namespace {

// A service manager may pass several directories separated by ':'; the first is ours.
std::string FromEnvironment(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0') return fallback;
  std::string dir(value);
  const auto colon = dir.find(':');
  if (colon != std::string::npos) dir.resize(colon);
  return dir.empty() ? std::string(fallback) : dir;
}

}  // namespace

std::string RuntimeDirectory() { return FromEnvironment("RUNTIME_DIRECTORY", SIPTRUNK_RUNTIME_DIR); }
std::string StateDirectory() { return FromEnvironment("STATE_DIRECTORY", SIPTRUNK_STATE_DIR); }
std::string LogsDirectory() { return FromEnvironment("LOGS_DIRECTORY", SIPTRUNK_LOGS_DIR); }

std::string UaSocketPath() { return RuntimeDirectory() + "/ua.sock"; }
std::string CgiSocketPath(int queueId) { return RuntimeDirectory() + "/cgi-" + std::to_string(queueId) + ".sock"; }
std::string EventSocketPath() { return RuntimeDirectory() + "/eventman.sock"; }
std::string StorePath() { return StateDirectory() + "/siptrunk.db"; }
std::string LogFilePath(const char* name) { return LogsDirectory() + "/" + name; }

std::string PidFilePath() {
  const char* runtime = std::getenv("RUNTIME_DIRECTORY");
  if (runtime != nullptr && *runtime != '\0') return RuntimeDirectory() + "/siptrunk-agent.pid";
  return SIPTRUNK_PID_FILE;
}

}  // namespace siptrunk
