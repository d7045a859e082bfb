// Construction, start-up, the two listen loops and the teardown.
#include <memory>

#include "agent/siptrunk_agent.h"
#include "platform/logger.h"
#include "platform/mm_event.h"
#include "platform/paths.h"
#include "platform/siptrunk_config.h"
#include "platform/system.h"

CSIPTrunkAgent::CSIPTrunkAgent()
    : CSIPTrunkMessenger(),
      CGIMessenger(kCgiQueueId),
      m_hCGIListenThread(0),
      m_hSIPListenThread(0),
      m_pLogger(nullptr),
      m_pConfig(nullptr),
      m_pArpnlHandle(nullptr) {
  // Held in smart pointers until all three exist, so a failed allocation
  // leaves nothing behind.
  std::unique_ptr<CSIPTrunkLogger> logger(new CSIPTrunkLogger(kTraceLogName));
  std::unique_ptr<CSIPTrunkConfig> config(new CSIPTrunkConfig(logger.get()));
  m_pLogger = logger.release();
  m_pConfig = config.release();
}

void CSIPTrunkAgent::Start() {
  m_pLogger->TRACE(3, "INFO: ----Communication SIP Trunk Agent Started -----\n");

  // The regulator opens (and empties its set) before the SIP thread can load
  // and admit the registered slaves; the handle is published only once open.
  {
    std::unique_ptr<ARPNL_HANDLE> handle(new ARPNL_HANDLE(-1));
    if (arpnl_open(handle.get()) == -1) {
      m_pLogger->TRACE(3, "ERROR: Creating LAN-traffic regulation socket failed.\n");
    } else {
      ThreadMutexLock lock(m_mtxRegisteredSlaves);
      m_pArpnlHandle = handle.release();
    }
  }

  m_hSIPListenThread = Thread::BeginThread(SIPListenThread, this, 0);
  if (m_hSIPListenThread == 0) {
    m_pLogger->TRACE(0, "ERROR: Cannot start SIPListenThread ...\n");
    siptrunk::ExitProcess(1);
  }
  m_pLogger->TRACE(3, "INFO: SIP Trunk Agent: The SIPListenThread started...\n");

  m_hCGIListenThread = Thread::BeginThread(CGIListenThread, this, 0);
  if (m_hCGIListenThread == 0) {
    m_pLogger->TRACE(0, "ERROR: Cannot start CGIListenThread ...\n");
    siptrunk::ExitProcess(1);
  }
  m_pLogger->TRACE(3, "INFO: SIP Trunk Agent: The CGIListenThread started...\n");

  m_pLogger->TRACE(3, "INFO: Waiting for SIP user agent ...\n");
  // The one place in Start where a termination signal is taken: both thread
  // handles are stored and no lock is held.
  while (!m_bUAConnected) siptrunk::WaitSecondsAdmittingTermination(1);
}

unsigned long CSIPTrunkAgent::SIPListenThread(void* arg) {
  auto* agent = static_cast<CSIPTrunkAgent*>(arg);
  if (agent == nullptr) return 4;
  // The confirmations handled here are synced per run of packets
  // (OnPacketsHandled).
  agent->m_pConfig->DeferSlaveSyncOnThisThread();
  const int waitForMessages = 1;
  while (!agent->m_bStopThreads) {
    agent->CSIPTrunkMessenger::ProcessMessageFromQueue(waitForMessages);
    // The periodic retry of a store that lags behind the registered slaves.
    if (agent->m_bSlavesStale) agent->RetryStaleSlaves();
    Thread::Sleep(20);
  }
  return 1;
}

unsigned long CSIPTrunkAgent::CGIListenThread(void* arg) {
  auto* agent = static_cast<CSIPTrunkAgent*>(arg);
  if (agent == nullptr) return 4;
  while (!agent->m_bStopThreads) {
    agent->CGIMessenger::ProcessMessageFromQueue(1);
    Thread::Sleep(20);
  }
  return 1;
}

int CSIPTrunkAgent::WaitSeconds(unsigned long const& seconds) {
  return siptrunk::WaitSeconds(seconds);
}

void CSIPTrunkAgent::WaitUntilStopRequested() {
  std::unique_lock<std::mutex> lock(m_stopMutex);
  m_stopRequested.wait(lock, [this] { return m_bStopThreads.load(); });
}

CSIPTrunkAgent::~CSIPTrunkAgent() {
  ClearAccessibleUsers();
  ClearTrunksToMaster();

  {
    ThreadMutexLock lock(m_mtxRegisteredSlaves);
    if (m_pArpnlHandle != nullptr) {
      arpnl_close(m_pArpnlHandle);
      delete m_pArpnlHandle;
      m_pArpnlHandle = nullptr;
    }
  }

  {
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_bStopThreads = true;
  }
  m_stopRequested.notify_all();

  // Handles of threads never begun are 0, which WaitForThread declines at once.
  Thread::WaitForThread(m_hCGIListenThread, Thread::kInfinite, nullptr);
  Thread::WaitForThread(m_hSIPListenThread, Thread::kInfinite, nullptr);
  // No notification is raised any more: the event channel's sender delivers
  // what is queued and ends (while the trace log is still there).
  MMEvent::StopSender();

  siptrunk::RemoveFile(siptrunk::PidFilePath());
  m_pLogger->TRACE(3, "INFO: ----Communication SIP Trunk Agent Stoped -----\n");

  delete m_pConfig;
  m_pConfig = nullptr;
  delete m_pLogger;
  m_pLogger = nullptr;
}
