// The world the agent sees in unit tests: every platform call recorded in order, the answers scripted.
// Every member is read and written under `mutex` (the agent's two threads may call fakes at once); tests read
// it between operations, or through the helpers that take the lock.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/bsd_socket.h"
#include "model/records.h"
#include "model/call_params.h"

struct UaCall {
  std::string op;  // "SetUsersList" or "ChangeUserParams"
  std::vector<CallParams> list;
  bool active = false, masterList = false;
  CallParams oldParams, newParams;
};
struct Notice { std::string source, kind, text; };

// What the fakes recorded, in order.
struct FakeRecordings {
  std::vector<std::string> timeline;  // every call, e.g. "store:SetRegisterParam alice@192.0.2.10:5060 false"
  std::vector<UaCall> uaCalls;
  std::vector<Notice> notices;
  std::vector<std::string> regulatorCalls;  // "open", "add 192.0.2.10", "del 192.0.2.10", "close"
  int routeLookups = 0;
};

// The answers of the store, the route lookup and the interface list.
struct FakeScript {
  CSIPTrunkBase::STAgentStates roles;
  std::vector<CSIPTrunkBase::STAccessibleUser> storedUsers;
  std::vector<CSIPTrunkBase::STAccessibleSlave> storedTrunks;
  std::vector<CSIPTrunkBase::STRegistrationParam> storedSlaves;
  std::map<std::string, CSIPTrunkBase::STRegistrationFields> trunkParams;  // GetTrunkToMasterParams by name
  std::map<std::string, int> trunkStates;                                  // GetStateOfTrunkToMaster by name
  std::map<std::string, std::string> routes;  // destination -> local address (dotted); missing: no route
  std::vector<InterfaceInfo> interfaces;
  bool eventRegisterAccepts = true;
  std::string storeThrows;  // non-empty: the store client's constructor throws this text
  bool storeKeepsSlaves = false;  // registrations change storedSlaves as the real store does (fuzz/model_fuzzer.cpp)
  bool slaveWritesFail = false;   // writes of registered slaves fail as on a full disk, changing nothing
  bool lastSlaveWriteFailed = false;
  int callsUnderLock = 0;  // user-agent or event-manager calls made while an agent lock was held
};

struct FakeWorld : FakeRecordings, FakeScript {
  std::mutex mutex;

  static FakeWorld& Get();
  void Reset();
  void ClearRecordings();  // the scripted answers stay
  void Record(std::string entry);  // appends to the timeline under the lock
  std::vector<std::string> Timeline();
  std::vector<std::string> TimelineOf(const std::string& prefix);  // the entries that begin with `prefix`
};

void AddInterface(const char* name, const char* dottedAddress);  // to the scripted list
std::string ToText(const CSIPTrunkBase::STRegistrationParam& param);  // user@addr:port
