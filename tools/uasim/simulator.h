// siptrunk-uasim's main loop: keeps the link to the agent, prints what
// arrives, keeps the held account lists and runs the commands in order.
//
// Single-threaded: everything runs on the thread that calls Run. SIGINT,
// SIGTERM and SIGHUP are blocked except while waiting in ppoll; their handler
// only records the signal.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tools/uasim/held_accounts.h"
#include "tools/uasim/line_source.h"
#include "tools/uasim/sim_command.h"
#include "tools/uasim/ua_link.h"

namespace siptrunk {
namespace uasim {

struct SimOptions {
  std::string socketPath;          // the agent's ua.sock
  int64_t waitMs = -1;             // how long to wait for the agent; < 0: for ever
  std::string scriptPath;          // commands from this file; empty: standard input
  std::string controlPath;         // commands from this FIFO as well; empty: none
  bool autoConfirmSlave = false;   // confirm every slave-list account received
  uint32_t autoConfirmError = 0;   // with this error code
  std::string statePath;           // --state FILE; empty: none
  bool stay = false;               // keep running at the end of the commands; reconnect
  bool hello = true;               // say HELLO and ask for the lists on connecting
};

class Simulator {
 public:
  explicit Simulator(SimOptions options);
  // Runs until quit, a signal, the end of the commands (unless stay), or a
  // lost link (unless stay). Returns the exit status.
  int Run();

 private:
  enum class LinkState { kDown, kAwaitHello, kReady };
  struct Source {
    std::unique_ptr<LineSource> lines;
    unsigned long lineNumber = 0;
    bool primary = false;  // its end ends the program (unless stay)
  };
  struct Queued {
    SimCommand command;
    std::string origin;  // "script.txt:3", for messages
  };

  static int64_t NowMs();
  bool OpenSources();
  void TryConnect();
  void LinkLost(const std::string& reason, bool orderly);
  void ReadSource(Source* source);
  void ReceivePackets();
  void HandlePacket(const std::string& packet);
  void AutoConfirm(const UaMessage& message);
  void RunCommands();
  void Execute(const Queued& queued);
  bool SendMessage(const UaMessage& message);
  bool SendBytes(const std::string& packet, const std::string& description);
  void Emit(const std::vector<std::string>& lines);
  void WriteState();
  bool PrimaryEnded() const;

  SimOptions m_options;
  UaLink m_link;
  LinkState m_state = LinkState::kDown;
  HeldAccounts m_held;
  std::vector<Source> m_sources;
  std::deque<Queued> m_queue;
  int64_t m_sleepUntil = 0;     // monotonic ms; commands wait until then
  int64_t m_nextAttempt = 0;    // next connection attempt while down
  int64_t m_deadline = -1;      // give up connecting after this; < 0: never
  bool m_toldWaiting = false;
  bool m_done = false;
  int m_exitStatus = 0;
};

}  // namespace uasim
}  // namespace siptrunk
