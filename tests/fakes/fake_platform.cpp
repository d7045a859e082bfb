// Fakes of the platform classes for unit tests: same headers as the real
// ones, recording into FakeWorld. The user-agent link and the event manager
// also count calls made while the calling thread holds an agent lock.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>

#include "fakes/fake_world.h"
#include "platform/arpnl.h"
#include "platform/bsd_socket.h"
#include "platform/cgi_messenger.h"
#include "platform/logger.h"
#include "platform/mm_event.h"
#include "platform/paths.h"
#include "platform/route_helper.h"
#include "platform/sip_trunk_messenger.h"
#include "platform/thread.h"

namespace {

FakeWorld& World() { return FakeWorld::Get(); }

void CheckNoAgentLock(const char* call) {
  if (ThreadMutex::HeldByCurrentThread() == 0) return;
  {
    std::lock_guard<std::mutex> lock(World().mutex);
    ++World().callsUnderLock;
  }
  ADD_FAILURE() << call << " was called while an agent lock was held";
}

std::string Describe(const CallParams& p) {
  return "{" + p.sUserName + "," + p.sUserPasswd + "," + p.sHostAddr + "," + p.sHostPort + "," + p.sHostName + "," +
         std::to_string(p.nFlags) + "}";
}

}  // namespace

// --- trace log ----------------------------------------------------------------
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
void CSIPTrunkLogger::VTRACE(unsigned char level, const char* format, va_list args) {
  char text[4096];
  vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> lock(World().mutex);
  World().traces.push_back(TraceLine{level, text});
  World().timeline.push_back(std::string("trace:") + text);
}

// --- paths ----------------------------------------------------------------------
namespace siptrunk {
std::string PidFilePath() {
  std::lock_guard<std::mutex> lock(World().mutex);
  return World().pidFile;
}
}  // namespace siptrunk

// --- user-agent link -----------------------------------------------------------
struct CSIPTrunkMessenger::Impl {};
CSIPTrunkMessenger::CSIPTrunkMessenger() : m_pImpl(nullptr) {}
CSIPTrunkMessenger::~CSIPTrunkMessenger() { delete m_pImpl; }
bool CSIPTrunkMessenger::ProcessMessageFromQueue(int const&) {
  Thread::Sleep(1);
  return true;
}
bool CSIPTrunkMessenger::IsPartyOnline() { return false; }
bool CSIPTrunkMessenger::OnSetUsersList() { return false; }
bool CSIPTrunkMessenger::OnChangeUserParams(CallParams const&, CallParams const&, bool) { return false; }
bool CSIPTrunkMessenger::OnConfirmUserState(CallParams const&, bool, unsigned int, bool) { return false; }
bool CSIPTrunkMessenger::OnPartyStateChanged(bool const&) { return false; }

bool CSIPTrunkMessenger::SetUsersList(std::list<CallParams> const& list, bool active, bool masterList) {
  CheckNoAgentLock("SetUsersList");
  UaCall call;
  call.op = "SetUsersList";
  call.list.assign(list.begin(), list.end());
  call.active = active;
  call.masterList = masterList;
  std::lock_guard<std::mutex> lock(World().mutex);
  World().uaCalls.push_back(call);
  World().timeline.push_back("ua:SetUsersList active=" + std::to_string(active) +
                             " master=" + std::to_string(masterList) + " count=" + std::to_string(list.size()));
  return true;
}

bool CSIPTrunkMessenger::ChangeUserParams(CallParams const& oldParams, CallParams const& newParams, bool masterList) {
  CheckNoAgentLock("ChangeUserParams");
  UaCall call;
  call.op = "ChangeUserParams";
  call.oldParams = oldParams;
  call.newParams = newParams;
  call.masterList = masterList;
  std::lock_guard<std::mutex> lock(World().mutex);
  World().uaCalls.push_back(call);
  World().timeline.push_back("ua:ChangeUserParams master=" + std::to_string(masterList) + " " +
                             Describe(oldParams) + " -> " + Describe(newParams));
  return true;
}

// --- settings link ---------------------------------------------------------------
struct CyclicMessageQueue::Impl {};
CyclicMessageQueue::CyclicMessageQueue(int queueId) : m_nQueueId(queueId), m_pImpl(nullptr) {}
CyclicMessageQueue::~CyclicMessageQueue() { delete m_pImpl; }
bool CyclicMessageQueue::SendUpdate(int, std::list<std::string> const&, std::string*) { return false; }
int CyclicMessageQueue::ReceiveWaiting(int, ItemsHandler, void*) {
  Thread::Sleep(1);
  return 0;
}
CGIMessenger::CGIMessenger(int queueId) : CyclicMessageQueue(queueId) {}
CGIMessenger::~CGIMessenger() = default;
bool CGIMessenger::ProcessMessageFromQueue(int waitMode) { return ReceiveWaiting(waitMode, nullptr, nullptr) > 0; }
bool CGIMessenger::OnUpdateMessage(int, std::list<std::string> const&) { return false; }

// --- event manager ---------------------------------------------------------------
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
  std::lock_guard<std::mutex> lock(World().mutex);
  World().notices.push_back(Notice{m_sSource, m_sKind, text});
  World().timeline.push_back("notify:" + m_sSource + "|" + m_sKind + "|" + text);
  return 1;
}

// --- route lookup and interfaces ---------------------------------------------------
RouteHelper::RouteHelper() = default;
RouteHelper::~RouteHelper() = default;
bool RouteHelper::GetOutInterface(unsigned long destination, unsigned long& localAddr, unsigned long& outIfIndex) {
  in_addr address{};
  address.s_addr = static_cast<in_addr_t>(destination);
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &address, text, sizeof text);
  std::lock_guard<std::mutex> lock(World().mutex);
  ++World().routeLookups;
  localAddr = 0;
  outIfIndex = 0;
  auto it = World().routes.find(text);
  if (it == World().routes.end()) return false;
  in_addr local{};
  inet_pton(AF_INET, it->second.c_str(), &local);
  localAddr = local.s_addr;
  outIfIndex = 1;
  return true;
}

int BsdSocket::GetLocalHostEx(std::vector<InterfaceInfo>* interfaces, const char*) {
  std::lock_guard<std::mutex> lock(World().mutex);
  interfaces->insert(interfaces->end(), World().interfaces.begin(), World().interfaces.end());
  return static_cast<int>(World().interfaces.size());
}

// --- LAN-traffic regulator -----------------------------------------------------------
namespace {
std::string Dotted(in_addr_t address) {
  in_addr a{};
  a.s_addr = address;
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}
void RecordRegulator(const std::string& call) {
  std::lock_guard<std::mutex> lock(World().mutex);
  World().regulatorCalls.push_back(call);
  World().timeline.push_back("arpnl:" + call);
}
}  // namespace

int arpnl_open(ARPNL_HANDLE* handle) {
  RecordRegulator("open");
  std::lock_guard<std::mutex> lock(World().mutex);
  *handle = World().arpnlOpenResult == 0 ? 7 : -1;
  if (*handle == 7) World().admitted.clear();
  return World().arpnlOpenResult;
}
// A call on a handle that is not open fails and is recorded as such.
int arpnl_addaddr(ARPNL_HANDLE* handle, in_addr_t address) {
  const bool open = handle != nullptr && *handle == 7;
  RecordRegulator((open ? "add " : "add on a closed handle ") + Dotted(address));
  std::lock_guard<std::mutex> lock(World().mutex);
  if (!open) return -1;
  if (World().arpnlAddResult >= 0) World().admitted.insert(Dotted(address));
  return World().arpnlAddResult;
}
int arpnl_deladdr(ARPNL_HANDLE* handle, in_addr_t address) {
  const bool open = handle != nullptr && *handle == 7;
  RecordRegulator((open ? "del " : "del on a closed handle ") + Dotted(address));
  std::lock_guard<std::mutex> lock(World().mutex);
  if (!open) return -1;
  if (World().arpnlDelResult >= 0) World().admitted.erase(Dotted(address));
  return World().arpnlDelResult;
}
int arpnl_close(ARPNL_HANDLE* handle) {
  RecordRegulator("close");
  *handle = -1;
  return 0;
}
