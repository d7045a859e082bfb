#include "tools/uasim/simulator.h"

#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/link_codec.h"
#include "tools/uasim/packet_text.h"

namespace siptrunk {
namespace uasim {
namespace {

constexpr int64_t kRetryMs = 100;         // between attempts to reach the agent
constexpr int64_t kReconnectDelayMs = 500;  // after a lost link, with --stay

volatile sig_atomic_t g_stopSignal = 0;
void OnStopSignal(int signo) { g_stopSignal = signo; }

void Diagnostic(const std::string& text) { std::fprintf(stderr, "siptrunk-uasim: %s\n", text.c_str()); }

}  // namespace

Simulator::Simulator(SimOptions options) : m_options(std::move(options)) {}

int64_t Simulator::NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool Simulator::OpenSources() {
  std::string error;
  Source primary;
  primary.primary = true;
  primary.lines = m_options.scriptPath.empty() ? LineSource::Stdin() : LineSource::OpenFile(m_options.scriptPath, &error);
  if (!primary.lines) {
    Diagnostic(error);
    return false;
  }
  m_sources.push_back(std::move(primary));
  if (!m_options.controlPath.empty()) {
    Source control;
    control.lines = LineSource::OpenFifo(m_options.controlPath, &error);
    if (!control.lines) {
      Diagnostic(error);
      return false;
    }
    m_sources.push_back(std::move(control));
  }
  return true;
}

bool Simulator::PrimaryEnded() const { return m_sources.front().lines->Ended(); }

void Simulator::Emit(const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
  }
  if (std::fflush(stdout) != 0) {
    Diagnostic(std::string("cannot write to standard output: ") + std::strerror(errno));
    m_done = true;
    m_exitStatus = 1;
  }
}

void Simulator::WriteState() {
  if (m_options.statePath.empty()) return;
  std::string error;
  if (!WriteFileAtomically(m_options.statePath, m_held.ToJson(), &error)) Diagnostic(error);
}

void Simulator::TryConnect() {
  std::string error;
  switch (m_link.Connect(m_options.socketPath, &error)) {
    case UaLink::ConnectResult::kConnected:
      m_toldWaiting = false;
      Emit({"CONNECTED " + m_options.socketPath});
      if (m_options.hello) {
        UaMessage hello;
        hello.type = UaMessageType::kHello;
        hello.version = kUaProtocolVersion;
        m_state = LinkState::kAwaitHello;
        SendMessage(hello);
      } else {
        m_state = LinkState::kReady;
      }
      return;
    case UaLink::ConnectResult::kNotYet:
      if (m_deadline >= 0 && NowMs() >= m_deadline) {
        Diagnostic("no agent listens on " + m_options.socketPath + "; giving up");
        m_done = true;
        m_exitStatus = 1;
        return;
      }
      if (!m_toldWaiting) Diagnostic("waiting for the agent on " + m_options.socketPath);
      m_toldWaiting = true;
      m_nextAttempt = NowMs() + kRetryMs;
      return;
    case UaLink::ConnectResult::kFailed:
      Diagnostic(error);
      m_done = true;
      m_exitStatus = 1;
      return;
  }
}

void Simulator::LinkLost(const std::string& reason, bool orderly) {
  m_link.Close();
  m_state = LinkState::kDown;
  Emit({"DISCONNECTED " + reason});
  // The agent is gone: so are the accounts it handed over.
  m_held.Clear();
  WriteState();
  if (m_options.stay) {
    m_nextAttempt = NowMs() + kReconnectDelayMs;
    m_deadline = -1;
  } else {
    m_done = true;
    m_exitStatus = orderly ? 0 : 1;
  }
}

bool Simulator::SendBytes(const std::string& packet, const std::string& description) {
  std::string error;
  if (!m_link.Send(packet, &error)) {
    LinkLost(error, false);
    return false;
  }
  Emit({"SENT " + description});
  return true;
}

bool Simulator::SendMessage(const UaMessage& message) {
  std::string packet, why;
  if (!EncodeUaMessage(message, &packet, &why)) {
    Diagnostic("cannot encode the message: " + why);
    return false;
  }
  const std::vector<std::string> lines = MessageLines(message);
  return SendBytes(packet, lines.front());
}

void Simulator::AutoConfirm(const UaMessage& message) {
  if (!m_options.autoConfirmSlave || message.masterList) return;
  std::vector<CallParams> accounts;
  if (message.type == UaMessageType::kSetUsersList && message.active) {
    accounts = message.list;
  } else if (message.type == UaMessageType::kChangeUserParams && message.oldParams == CallParams() &&
             message.newParams != CallParams()) {
    accounts.push_back(message.newParams);
  }
  for (const auto& account : accounts) {
    UaMessage confirm;
    confirm.type = UaMessageType::kConfirmUserState;
    confirm.registered = true;
    confirm.error = m_options.autoConfirmError;
    confirm.masterList = false;
    confirm.account = account;
    if (!SendMessage(confirm)) return;
  }
}

void Simulator::HandlePacket(const std::string& packet) {
  UaMessage message;
  std::string why;
  if (!DecodeUaMessage(packet.data(), packet.size(), &message, &why)) {
    Emit({"MALFORMED " + why + " (" + std::to_string(packet.size()) + " bytes)"});
    return;
  }
  Emit(MessageLines(message));
  if (message.type == UaMessageType::kHello && m_state == LinkState::kAwaitHello) {
    if (message.version != kUaProtocolVersion) {
      LinkLost("the agent speaks version " + std::to_string(message.version), false);
      return;
    }
    m_state = LinkState::kReady;
    UaMessage request;
    request.type = UaMessageType::kRequestUsersList;
    SendMessage(request);
    return;
  }
  if (m_held.Apply(message)) {
    WriteState();
    AutoConfirm(message);
  }
}

void Simulator::ReceivePackets() {
  // Everything waiting, so that a burst of changes is printed in one go.
  while (m_link.Connected() && !m_done) {
    std::string packet, error;
    switch (m_link.Receive(&packet, &error)) {
      case UaLink::ReceiveResult::kPacket:
        HandlePacket(packet);
        break;
      case UaLink::ReceiveResult::kNothing:
        return;
      case UaLink::ReceiveResult::kTooLong:
        Emit({"MALFORMED packet longer than " + std::to_string(kMaxUaPacketOut) + " bytes"});
        break;
      case UaLink::ReceiveResult::kClosed:
        LinkLost("the agent closed the link", true);
        return;
      case UaLink::ReceiveResult::kFailed:
        LinkLost(error, false);
        return;
    }
  }
}

void Simulator::ReadSource(Source* source) {
  std::vector<std::string> lines;
  std::string error;
  if (!source->lines->ReadLines(&lines, &error)) Diagnostic(error);
  for (const auto& line : lines) {
    ++source->lineNumber;
    Queued queued;
    queued.origin = source->lines->Name() + ":" + std::to_string(source->lineNumber);
    if (!ParseCommand(line, &queued.command, &error)) {
      Diagnostic(queued.origin + ": " + error);
      continue;
    }
    if (queued.command.kind != SimCommand::Kind::kNothing) m_queue.push_back(std::move(queued));
  }
}

void Simulator::Execute(const Queued& queued) {
  const SimCommand& c = queued.command;
  switch (c.kind) {
    case SimCommand::Kind::kNothing:
      return;
    case SimCommand::Kind::kSleep:
      m_sleepUntil = NowMs() + c.sleepMs;
      return;
    case SimCommand::Kind::kQuit:
      m_done = true;
      m_exitStatus = 0;
      return;
    case SimCommand::Kind::kReconnect:
      if (m_link.Connected()) {
        m_link.Close();
        m_state = LinkState::kDown;
        Emit({"DISCONNECTED reconnect"});
        m_held.Clear();
        WriteState();
      }
      m_nextAttempt = NowMs();
      m_deadline = m_options.waitMs < 0 ? -1 : NowMs() + m_options.waitMs;
      return;
    case SimCommand::Kind::kConfirmMaster:
    case SimCommand::Kind::kHello:
      SendMessage(c.message);
      return;
    case SimCommand::Kind::kConfirmSlave: {
      UaMessage message = c.message;
      if (const CallParams* held = m_held.FindSlaveAccount(message.account.sUserName)) {
        message.account.sUserPasswd = held->sUserPasswd;
        message.account.sHostName = held->sHostName;
      }
      SendMessage(message);
      return;
    }
    case SimCommand::Kind::kRequest: {
      UaMessage request;
      request.type = UaMessageType::kRequestUsersList;
      SendMessage(request);
      return;
    }
    case SimCommand::Kind::kRaw: {
      std::string packet, why;
      if (!JoinItems(c.items, &packet, &why)) {
        Diagnostic(queued.origin + ": " + why);
        return;
      }
      SendBytes(packet, RawItemsText(c.items));
      return;
    }
    case SimCommand::Kind::kRawHex:
      SendBytes(c.bytes, "RAWHEX " + std::to_string(c.bytes.size()) + " bytes");
      return;
  }
}

void Simulator::RunCommands() {
  while (!m_done && !m_queue.empty() && NowMs() >= m_sleepUntil) {
    const Queued& head = m_queue.front();
    if (head.command.NeedsLink() && m_state != LinkState::kReady) return;
    const Queued queued = head;
    m_queue.pop_front();
    Execute(queued);
  }
}

int Simulator::Run() {
  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGHUP);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!OpenSources()) return 2;
  WriteState();
  m_deadline = m_options.waitMs < 0 ? -1 : NowMs() + m_options.waitMs;
  m_nextAttempt = NowMs();

  while (true) {
    if (g_stopSignal != 0) return 0;
    if (!m_done && m_state == LinkState::kDown && NowMs() >= m_nextAttempt) TryConnect();
    RunCommands();
    if (m_done) return m_exitStatus;
    if (PrimaryEnded() && m_queue.empty() && !m_options.stay) return 0;

    std::vector<pollfd> fds;
    if (m_link.Connected()) fds.push_back({m_link.Fd(), POLLIN, 0});
    const size_t firstSource = fds.size();
    for (const auto& source : m_sources) fds.push_back({source.lines->Fd(), POLLIN, 0});  // -1 is skipped

    int64_t wakeAt = -1;
    if (!m_queue.empty() && m_sleepUntil > NowMs()) wakeAt = m_sleepUntil;
    if (m_state == LinkState::kDown && (wakeAt < 0 || m_nextAttempt < wakeAt)) wakeAt = m_nextAttempt;
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    if (wakeAt >= 0) {
      const int64_t ms = wakeAt > NowMs() ? wakeAt - NowMs() : 0;
      timeout.tv_sec = static_cast<time_t>(ms / 1000);
      timeout.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
      timeoutPtr = &timeout;
    }
    const int ready = ppoll(fds.data(), fds.size(), timeoutPtr, &waitMask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      Diagnostic(std::string("poll: ") + std::strerror(errno));
      return 1;
    }
    if (firstSource == 1 && fds[0].revents != 0) ReceivePackets();
    for (size_t i = 0; i < m_sources.size(); ++i) {
      if (fds[firstSource + i].fd >= 0 && fds[firstSource + i].revents != 0) ReadSource(&m_sources[i]);
    }
  }
}

}  // namespace uasim
}  // namespace siptrunk
