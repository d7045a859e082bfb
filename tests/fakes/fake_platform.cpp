// Fakes of the platform classes behind the real headers, recording into FakeWorld; the user-agent link and
// the event manager also count calls made while the calling thread holds an agent lock.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "fakes/fake_world.h"
#include "platform/arpnl.h"
#include "platform/bsd_socket.h"
#include "platform/cgi_messenger.h"
#include "platform/logger.h"
#include "platform/mm_event.h"
#include "platform/paths.h"
#include "platform/route_helper.h"
#include "platform/sip_trunk_messenger.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

FakeWorld& World() { return FakeWorld::Get(); }

// Appends `entry` (if any) to the timeline and runs `change` on the world, both under its lock.
template <class Change>
auto Locked(const std::string& entry, Change change) {
  std::lock_guard<std::mutex> lock(World().mutex);
  if (!entry.empty()) World().timeline.push_back(entry);
  return change(World());
}

void CheckNoAgentLock(const char* call) {
  if (ThreadMutex::HeldByCurrentThread() == 0) return;
  Locked("", [](FakeWorld& w) { ++w.callsUnderLock; });
  ADD_FAILURE() << call << " was called while an agent lock was held";
}

std::string Describe(const CallParams& p) {
  return "{" + p.sUserName + "," + p.sUserPasswd + "," + p.sHostAddr + "," + p.sHostPort + "," + p.sHostName + "," +
         std::to_string(p.nFlags) + "}";
}

std::string Dotted(in_addr_t address) {
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

}  // namespace

// --- trace log -------------------------------------------------------------------
struct CSIPTrunkLogger::Impl {};
CSIPTrunkLogger::CSIPTrunkLogger(const char*) : m_pImpl(nullptr) {}
CSIPTrunkLogger::~CSIPTrunkLogger() { delete m_pImpl; }
void CSIPTrunkLogger::SetRotateBytes(size_t) {}
void CSIPTrunkLogger::TRACE(unsigned char level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VTRACE(level, format, args);
  va_end(args);
}
void CSIPTrunkLogger::VTRACE(unsigned char, const char* format, va_list args) {
  char text[4096];
  vsnprintf(text, sizeof text, format, args);
  World().Record(std::string("trace:") + text);
}

// --- process-level services (platform/system.h) ------------------------------------
// Removing a file is recorded; signalling and exiting are real: death tests observe the process's end.
namespace siptrunk {
std::string PidFilePath() { return "/tmp/siptrunk-unit-" + std::to_string(getpid()) + ".pid"; }
std::string HostName() { return "unit-device"; }
void SignalSelf(int signalNumber) {
  World().Record("system:signal " + std::to_string(signalNumber));
  kill(getpid(), signalNumber);
}
// A few milliseconds stand for each second: tests wait for outcomes, not time.
int WaitSeconds(unsigned long seconds) {
  return usleep(static_cast<useconds_t>(std::min<unsigned long>(seconds, 100) * 5000)), 0;
}
int WaitSecondsAdmittingTermination(unsigned long seconds) { return WaitSeconds(seconds); }
bool RemoveFile(const std::string& path) { return World().Record("system:remove " + path), true; }
void ExitProcess(int status) { std::_Exit(status); }
}  // namespace siptrunk

// --- user-agent link ---------------------------------------------------------------
struct CSIPTrunkMessenger::Impl {};
CSIPTrunkMessenger::CSIPTrunkMessenger() : m_pImpl(nullptr) {}
CSIPTrunkMessenger::~CSIPTrunkMessenger() { delete m_pImpl; }
bool CSIPTrunkMessenger::ProcessMessageFromQueue(int const&) { return Thread::Sleep(1), true; }
bool CSIPTrunkMessenger::IsPartyOnline() { return false; }
bool CSIPTrunkMessenger::OnSetUsersList() { return false; }
bool CSIPTrunkMessenger::OnChangeUserParams(CallParams const&, CallParams const&, bool) { return false; }
bool CSIPTrunkMessenger::OnConfirmUserState(CallParams const&, bool, unsigned int, bool) { return false; }
bool CSIPTrunkMessenger::OnPartyStateChanged(bool const&) { return false; }
void CSIPTrunkMessenger::OnPacketsHandled() {}

namespace {
bool RecordUaCall(const UaCall& call, const std::string& entry) {
  CheckNoAgentLock(call.op.c_str());
  Locked("ua:" + call.op + " " + entry, [&](FakeWorld& w) { w.uaCalls.push_back(call); });
  return true;
}
}  // namespace
bool CSIPTrunkMessenger::SetUsersList(std::list<CallParams> const& list, bool active, bool masterList) {
  return RecordUaCall({"SetUsersList", {list.begin(), list.end()}, active, masterList, {}, {}},
                      "active=" + std::to_string(active) + " master=" + std::to_string(masterList) +
                          " count=" + std::to_string(list.size()));
}
bool CSIPTrunkMessenger::ChangeUserParams(CallParams const& oldParams, CallParams const& newParams, bool masterList) {
  return RecordUaCall({"ChangeUserParams", {}, false, masterList, oldParams, newParams},
                      "master=" + std::to_string(masterList) + " " + Describe(oldParams) + " -> " + Describe(newParams));
}

// --- settings link -------------------------------------------------------------------
struct CyclicMessageQueue::Impl {};
CyclicMessageQueue::CyclicMessageQueue(int queueId) : m_nQueueId(queueId), m_pImpl(nullptr) {}
CyclicMessageQueue::~CyclicMessageQueue() { delete m_pImpl; }
bool CyclicMessageQueue::SendUpdate(int, std::list<std::string> const&, std::string*) { return false; }
int CyclicMessageQueue::ReceiveWaiting(int, ItemsHandler, void*) { return Thread::Sleep(1), 0; }
CGIMessenger::CGIMessenger(int queueId) : CyclicMessageQueue(queueId) {}
CGIMessenger::~CGIMessenger() = default;
bool CGIMessenger::ProcessMessageFromQueue(int waitMode) { return ReceiveWaiting(waitMode, nullptr, nullptr) > 0; }
bool CGIMessenger::OnUpdateMessage(int, std::list<std::string> const&) { return false; }

// --- event manager -------------------------------------------------------------------
MMEvent::MMEvent() = default;
MMEvent::~MMEvent() = default;
void MMEvent::StopSender() {}
int MMEvent::Register(const char* source, const char* kind) {
  std::lock_guard<std::mutex> lock(World().mutex);
  if (!World().eventRegisterAccepts) return 0;
  m_sSource = source;
  m_sKind = kind;
  m_bRegistered = true;
  return 1;
}
int MMEvent::Raise(const char* text, const char*, const char*) {
  CheckNoAgentLock("MMEvent::Raise");
  if (!m_bRegistered) return 0;
  Locked("notify:" + m_sSource + "|" + m_sKind + "|" + text,
         [&](FakeWorld& w) { w.notices.push_back(Notice{m_sSource, m_sKind, text}); });
  return 1;
}

// --- route lookup and interfaces -------------------------------------------------------
RouteHelper::RouteHelper() = default;
RouteHelper::~RouteHelper() = default;
bool RouteHelper::GetOutInterface(unsigned long destination, unsigned long& localAddr, unsigned long& outIfIndex) {
  std::lock_guard<std::mutex> lock(World().mutex);
  ++World().routeLookups;
  auto it = World().routes.find(Dotted(static_cast<in_addr_t>(destination)));
  in_addr local{};
  if (it != World().routes.end()) inet_pton(AF_INET, it->second.c_str(), &local);
  localAddr = local.s_addr;
  outIfIndex = it != World().routes.end() ? 1 : 0;
  return it != World().routes.end();
}

bool RouteHelper::NamesCarrying(uint32_t address, std::vector<std::string>* names) {
  std::lock_guard<std::mutex> lock(World().mutex);
  for (auto const& info : World().interfaces) {
    if (info.nAddr == address) names->push_back(info.sName);
  }
  return true;
}

int BsdSocket::GetLocalHostEx(std::vector<InterfaceInfo>* interfaces, const char*) {
  std::lock_guard<std::mutex> lock(World().mutex);
  interfaces->insert(interfaces->end(), World().interfaces.begin(), World().interfaces.end());
  return static_cast<int>(World().interfaces.size());
}

// --- LAN-traffic regulator ---------------------------------------------------------------
// An open handle is 7; a call on a handle that is not open fails and is recorded as such.
namespace {
int Regulator(ARPNL_HANDLE* handle, bool add, in_addr_t address) {
  const bool open = handle != nullptr && *handle == 7;
  const std::string call = (add ? "add " : "del ") + std::string(open ? "" : "on a closed handle ") + Dotted(address);
  Locked("arpnl:" + call, [&](FakeWorld& w) { w.regulatorCalls.push_back(call); });
  return open ? 0 : -1;
}
}  // namespace

int arpnl_open(ARPNL_HANDLE* handle) {
  Locked("arpnl:open", [](FakeWorld& w) { w.regulatorCalls.push_back("open"); });
  return *handle = 7, 0;
}
int arpnl_addaddr(ARPNL_HANDLE* handle, in_addr_t address) { return Regulator(handle, true, address); }
int arpnl_deladdr(ARPNL_HANDLE* handle, in_addr_t address) { return Regulator(handle, false, address); }
int arpnl_close(ARPNL_HANDLE* handle) {
  Locked("arpnl:close", [](FakeWorld& w) { w.regulatorCalls.push_back("close"); });
  *handle = -1;
  return 0;
}
