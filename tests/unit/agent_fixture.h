// A fresh agent over a freshly reset fake world, with builders for the records the tests use.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "fakes/fake_world.h"
#include "unit/agent_test_access.h"

using Access = AgentTestAccess;

using SlaveReg = CSIPTrunkBase::STRegistrationParam;  // {user, password, address, port}

inline CSIPTrunkBase::STAccessibleSlave TrunkEntry(std::string name, std::string user) {
  return {std::move(name), std::move(user), "pw", "192.0.2.1", "5060"};
}

inline CallParams Account(std::string user, std::string password, std::string address, std::string port) {
  CallParams a;
  a.sUserName = std::move(user), a.sUserPasswd = std::move(password), a.sHostAddr = std::move(address);
  return a.sHostPort = std::move(port), a;
}

// After every test: no user-agent or event-manager call was made under an agent lock.
class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    World().Reset();
    agent = std::make_unique<CSIPTrunkAgent>();
  }
  void TearDown() override {
    agent.reset();
    EXPECT_EQ(World().callsUnderLock, 0);
  }
  static FakeWorld& World() { return FakeWorld::Get(); }
  static void ClearRecords() { World().ClearRecordings(); }
  // A LAN (eth0, 192.0.2.0/24) and a WAN (wan0, 198.51.100.0/24), regulator open.
  void UseLanAndWan() {
    AddInterface("lo", "127.0.0.1");
    AddInterface("eth0", "192.0.2.1");
    AddInterface("wan0", "198.51.100.1");
    for (int host = 2; host < 40; ++host) {
      World().routes["192.0.2." + std::to_string(host)] = "192.0.2.1";
      World().routes["198.51.100." + std::to_string(host)] = "198.51.100.1";
    }
    Access::OpenRegulator(*agent);
    ClearRecords();
  }
  bool Update(std::list<std::string> items) { return Access::Update(*agent, std::move(items)); }
  // The timeline without trace lines: what the agent did, in order.
  static std::vector<std::string> Effects() {
    std::vector<std::string> out;
    for (const auto& e : World().Timeline()) {
      if (e.rfind("trace:", 0) != 0) out.push_back(e);
    }
    return out;
  }
  using Lines = std::vector<std::string>;

  std::unique_ptr<CSIPTrunkAgent> agent;
};

// The same over a LAN and a WAN with the regulator open.
class LanAgentTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    UseLanAndWan();
  }
};
