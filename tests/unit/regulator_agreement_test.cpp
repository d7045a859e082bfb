// The regulator's set agrees with the registered slaves reached through eth0
// after any sequence of events, and comes back by itself after a lost admission.
#include <set>

#include "unit/agent_fixture.h"

namespace {

using Addresses = std::set<std::string>;

class RegulatorAgreementTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    UseLanAndWan();
    World().storedUsers = {{"t1", "alice", "pw"}};
    World().roles.bMasterEnabled = true;
  }
  void Confirm(const char* user, const char* address, const char* port, bool registered) {
    agent->OnConfirmUserState(Account(user, "pw", address, port), registered, 0, true);
  }
  Addresses Admitted() {
    std::lock_guard<std::mutex> lock(World().mutex);
    return World().admitted;
  }
};

TEST_F(RegulatorAgreementTest, ActivationAdmitsSlavesStoredWhileTheRoleWasOff) {
  World().storedSlaves = {SlaveReg("alice", "pw", "192.0.2.10", "5060"), SlaveReg("bob", "pw", "198.51.100.7", "5060")};
  Update({"0"});
  EXPECT_EQ(Access::Slaves(*agent).size(), 2u);
  EXPECT_EQ(Admitted(), Addresses{"192.0.2.10"});
}

TEST_F(RegulatorAgreementTest, AnAddressStaysAdmittedWhileAnyRegistrationUsesIt) {
  agent->OnSetUsersList();
  Confirm("alice", "192.0.2.10", "5060", true);
  Confirm("bob", "192.0.2.10", "5060", true);  // a second trunk of the same device
  Confirm("carol", "192.0.2.10", "5062", true);  // a second port
  Confirm("alice", "192.0.2.10", "5060", false);
  EXPECT_EQ(Admitted(), Addresses{"192.0.2.10"});
  Confirm("bob", "192.0.2.11", "5060", true);  // bob moves away; carol stays
  EXPECT_EQ(Admitted(), (Addresses{"192.0.2.10", "192.0.2.11"}));
  Confirm("carol", "192.0.2.10", "5062", false);
  EXPECT_EQ(Admitted(), Addresses{"192.0.2.11"});
  Update({"1"});  // the master role goes off: every slave leaves
  EXPECT_TRUE(Admitted().empty());
}

TEST_F(RegulatorAgreementTest, ARefreshQuietlyBringsBackALostAdmission) {
  agent->OnSetUsersList();
  Confirm("alice", "192.0.2.10", "5060", true);
  Confirm("bob", "198.51.100.7", "5060", true);
  {
    std::lock_guard<std::mutex> lock(World().mutex);
    World().admitted.clear();  // the ruleset was flushed under the agent
  }
  ClearRecords();
  Confirm("alice", "192.0.2.10", "5060", true);
  Confirm("bob", "198.51.100.7", "5060", true);
  EXPECT_EQ(Admitted(), Addresses{"192.0.2.10"});
  EXPECT_EQ(World().traces.size(), 2u);  // the two confirmation lines, nothing for the re-admission
}

TEST_F(RegulatorAgreementTest, StartOpensTheRegulatorBeforeTheSipThreadCanAdmit) {
  CSIPTrunkAgent fresh;
  EXPECT_FALSE(Access::HasRegulator(fresh));  // no handle until it is open
  ClearRecords();
  Access::SetUaConnected(fresh, true);
  fresh.Start();
  const auto timeline = World().Timeline();
  ASSERT_GE(timeline.size(), 3u);
  EXPECT_EQ(timeline[1], "arpnl:open");
  EXPECT_EQ(timeline[2], "trace:INFO: SIP Trunk Agent: The SIPListenThread started...\n");
}

}  // namespace
