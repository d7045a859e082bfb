#include "fakes/fake_world.h"

#include <arpa/inet.h>

FakeWorld& FakeWorld::Get() {
  static FakeWorld world;
  return world;
}

void FakeWorld::Reset() {
  std::lock_guard<std::mutex> lock(mutex);
  static_cast<FakeRecordings&>(*this) = FakeRecordings();
  static_cast<FakeScript&>(*this) = FakeScript();
}

void FakeWorld::ClearRecordings() {
  std::lock_guard<std::mutex> lock(mutex);
  static_cast<FakeRecordings&>(*this) = FakeRecordings();
}

void FakeWorld::Record(std::string entry) {
  std::lock_guard<std::mutex> lock(mutex);
  timeline.push_back(std::move(entry));
}

std::vector<std::string> FakeWorld::Timeline() { return TimelineOf(""); }

std::vector<std::string> FakeWorld::TimelineOf(const std::string& prefix) {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::string> out;
  for (const auto& entry : timeline) {
    if (entry.compare(0, prefix.size(), prefix) == 0) out.push_back(entry);
  }
  return out;
}

void AddInterface(const char* name, const char* dottedAddress) {
  InterfaceInfo info;
  info.sName = name;
  in_addr address{};
  inet_pton(AF_INET, dottedAddress, &address);
  info.nAddr = address.s_addr;
  std::lock_guard<std::mutex> lock(FakeWorld::Get().mutex);
  FakeWorld::Get().interfaces.push_back(info);
}

std::string ToText(const CSIPTrunkBase::STRegistrationParam& param) {
  return param.sUserName + "@" + param.sHostAddr + ":" + param.sHostPort;
}
