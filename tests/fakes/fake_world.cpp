#include "fakes/fake_world.h"

#include <arpa/inet.h>
#include <unistd.h>

FakeWorld& FakeWorld::Get() {
  static FakeWorld world;
  return world;
}

void FakeWorld::Reset() {
  std::lock_guard<std::mutex> lock(mutex);
  timeline.clear();
  traces.clear();
  uaCalls.clear();
  notices.clear();
  regulatorCalls.clear();
  admitted.clear();
  routeLookups = 0;
  callsUnderLock = 0;
  roles = CSIPTrunkBase::STAgentStates();
  storedUsers.clear();
  storedTrunks.clear();
  storedSlaves.clear();
  trunkParams.clear();
  trunkStates.clear();
  arpnlOpenResult = 0;
  arpnlAddResult = 0;
  arpnlDelResult = 0;
  routes.clear();
  interfaces.clear();
  eventRegisterAccepts = true;
  storeThrows.clear();
  storeKeepsSlaves = false;
  slaveWritesFail = false;
  lastSlaveWriteFailed = false;
  pidFile = "/tmp/siptrunk-unit-" + std::to_string(getpid()) + ".pid";
  hostName = "unit-device";
}

void FakeWorld::ClearRecordings() {
  std::lock_guard<std::mutex> lock(mutex);
  timeline.clear();
  traces.clear();
  uaCalls.clear();
  notices.clear();
  regulatorCalls.clear();
  routeLookups = 0;
}

void FakeWorld::Record(std::string entry) {
  std::lock_guard<std::mutex> lock(mutex);
  timeline.push_back(std::move(entry));
}

std::vector<std::string> FakeWorld::Timeline() {
  std::lock_guard<std::mutex> lock(mutex);
  return timeline;
}

std::vector<std::string> FakeWorld::TimelineOf(const std::string& prefix) {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::string> out;
  for (const auto& entry : timeline) {
    if (entry.compare(0, prefix.size(), prefix) == 0) out.push_back(entry);
  }
  return out;
}

std::vector<std::string> FakeWorld::TraceTexts() {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::string> out;
  for (const auto& line : traces) out.push_back(line.text);
  return out;
}

void AddInterface(const char* name, const char* dottedAddress) {
  InterfaceInfo info;
  info.sName = name;
  in_addr address{};
  inet_pton(AF_INET, dottedAddress, &address);
  info.nAddr = address.s_addr;
  auto& world = FakeWorld::Get();
  std::lock_guard<std::mutex> lock(world.mutex);
  world.interfaces.push_back(info);
}

std::string ToText(const CSIPTrunkBase::STRegistrationParam& param) {
  return param.sUserName + "@" + param.sHostAddr + ":" + param.sHostPort;
}
