// Where the platform keeps its files. The directories come from the variables
// that a service manager sets (RUNTIME_DIRECTORY, STATE_DIRECTORY,
// LOGS_DIRECTORY), with build-time defaults. Only the platform layer and the
// tools read them; the agent's own code never looks at the environment.
#pragma once

#include <string>

namespace siptrunk {

std::string RuntimeDirectory();  // sockets
std::string StateDirectory();    // the store
std::string LogsDirectory();     // the trace log

std::string UaSocketPath();                // <runtime>/ua.sock
std::string CgiSocketPath(int queueId);    // <runtime>/cgi-<queueId>.sock
std::string EventSocketPath();             // <runtime>/eventman.sock
std::string StorePath();                   // <state>/siptrunk.db
std::string LogFilePath(const char* name); // <logs>/<name>

// The process-id file that the teardown removes. Under a service manager
// (RUNTIME_DIRECTORY set) it is <runtime>/siptrunk-agent.pid, otherwise the
// build-time default /var/run/siptrunk-agent.pid.
std::string PidFilePath();

}  // namespace siptrunk
