// Route lookup and the LAN-traffic regulator against the real kernel, each test in a forked child inside a fresh
// network namespace with veth interfaces eth0 (192.0.2.1/24) and wan0 (198.51.100.1/24), which vanishes with it.
// The child prints its failures and reports them through its exit status.
#include <arpa/inet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/wait.h>

#include "platform/arpnl.h"
#include "platform/route_helper.h"
#include "tests/platform/link_test_support.h"

namespace {

constexpr int kSkipStatus = 77;

// The addresses in the set, sorted, each followed by a blank, from the nft program's own view; "missing " without it.
std::string Elements() {
  FILE* pipe = popen("{ nft list set inet " SIPTRUNK_NFT_TABLE " " SIPTRUNK_NFT_SET " 2>/dev/null || echo missing; }"
                     " | grep -oE '([0-9]+[.]){3}[0-9]+|missing' | LC_ALL=C sort | tr '\\n' ' '", "r");
  std::string output;
  char chunk[4096];
  for (size_t n; pipe != nullptr && (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  if (pipe != nullptr) pclose(pipe);
  return output;
}

bool RunQuietly(const std::string& command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }

// In the child: says why on standard output and leaves with kSkipStatus.
[[noreturn]] void SkipChild(const std::string& reason) {
  printf("skipped: %s\n", reason.c_str());
  fflush(stdout);
  _exit(kSkipStatus);
}

// Forks; the child enters a fresh network namespace with eth0 and wan0 and
// runs body. Call as the last statement of a test (it may skip it).
void InPrivateNetwork(const std::function<void()>& body) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace and veth interfaces";
  fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNET) != 0) SkipChild(std::string("unshare(CLONE_NEWNET) refused: ") + strerror(errno));
    if (!RunQuietly("ip link set lo up && ip link add eth0 type veth peer name eth0p && ip link add wan0 type veth"
                    " peer name wan0p && ip addr add 192.0.2.1/24 dev eth0 && ip addr add 198.51.100.1/24 dev wan0"
                    " && for i in eth0p wan0p eth0 wan0; do ip link set $i up; done")) {
      SkipChild("cannot create veth interfaces with ip(8) in the namespace");
    }
    body();
    fflush(stdout);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the namespace child died, status " << status;
  if (WEXITSTATUS(status) == kSkipStatus) GTEST_SKIP() << "the namespace child skipped the checks (why: above)";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "checks inside the network namespace failed (see above)";
}

unsigned long Addr(const char* dotted) { return inet_addr(dotted); }

std::string Dotted(unsigned long address) { return inet_ntoa(in_addr{static_cast<in_addr_t>(address)}); }

// Which slaves are admitted, with odd addresses, against the kernel's routes
// is test_model.py's and test_regulator.py's; here a gateway and an alias.
TEST(RouteHelperTest, AnswersLikeIpRouteGet) {
  InPrivateNetwork([] {
    RouteHelper helper;
    unsigned long local = 1, oif = 1;
    // "yes|no <source> <interface index>", as `ip route get` would answer.
    const auto route = [&](const char* to) {
      local = oif = 1;
      const bool ok = helper.GetOutInterface(Addr(to), local, oif);
      return std::string(ok ? "yes " : "no ") + Dotted(local) + " " + std::to_string(oif);
    };
    const std::string eth0 = std::to_string(if_nametoindex("eth0")), wan0 = std::to_string(if_nametoindex("wan0"));
    EXPECT_EQ(route("192.0.2.10") + "|" + route("203.0.113.5"), "yes 192.0.2.1 " + eth0 + "|no 0.0.0.0 0");
    ASSERT_TRUE(RunQuietly("ip route add default via 198.51.100.254 dev wan0"));
    EXPECT_EQ(route("203.0.113.5"), "yes 198.51.100.1 " + wan0);  // the source is the interface towards the gateway
    // The names carrying an address, aliases by their label, on the socket the lookups used.
    ASSERT_TRUE(RunQuietly("ip addr add 198.51.100.1/32 dev eth0 label eth0:1"));
    std::vector<std::string> names;
    EXPECT_TRUE(helper.NamesCarrying(static_cast<uint32_t>(Addr("198.51.100.1")), &names));
    std::sort(names.begin(), names.end());  // the kernel lists them by interface index
    EXPECT_EQ(names, (std::vector<std::string>{"eth0:1", "wan0"}));
  });
}

// Opens the regulator in the namespace, or skips when nftables cannot work here.
ARPNL_HANDLE OpenOrSkip() {
  if (!RunQuietly("nft add table inet probe && nft delete table inet probe")) {
    SkipChild("the nft program (used to check the set) is missing or the kernel refuses nftables in a namespace");
  }
  ARPNL_HANDLE handle = 1234;
  int rc = -1;
  const std::string said = linktest::CaptureStderr("/tmp", [&] { rc = arpnl_open(&handle); });
  if (rc == -1 && said.find("no regulator") != std::string::npos) SkipChild("built without the regulator");
  EXPECT_EQ(rc, 0) << said;
  return handle;
}

// Admission through the running agent (LAN against WAN, a flushed ruleset, no CAP_NET_ADMIN) is
// test_regulator.py's, test_model.py's and test_lifecycle.py's; these are the handle's own rules.
TEST(RegulatorTest, AddsAndRemovesAddressesFromTwoThreadsOnOneHandle) {
  InPrivateNetwork([] {
    ARPNL_HANDLE handle = OpenOrSkip(), second = -1;
    ASSERT_GE(handle, 0);
    EXPECT_EQ(Elements(), "");
    EXPECT_TRUE(arpnl_open(&second) == 0 && arpnl_close(&second) == 0);  // finds the table and the set in place

    // Each call gets its own answers while the other thread's share the socket:
    // adding an address twice succeeds, removing one twice fails the second time.
    constexpr int kEach = 60;
    int failures[2] = {0, 0};
    std::set<std::string> kept;
    const auto work = [&](int t) {
      for (int i = 1; i <= kEach; ++i) {
        const std::string address = "192.0.2." + std::to_string(t * 100 + i);
        const unsigned long a = Addr(address.c_str());
        failures[t] += (arpnl_addaddr(&handle, a) < 0) + (arpnl_addaddr(&handle, a) < 0);
        if (i % 2 == 0) failures[t] += (arpnl_deladdr(&handle, a) < 0) + (arpnl_deladdr(&handle, a) >= 0);
      }
    };
    std::thread first(work, 0), other(work, 1);
    first.join(), other.join();
    EXPECT_EQ(failures[0] + failures[1], 0);
    for (int i = 1; i <= kEach; i += 2) {
      kept.insert({"192.0.2." + std::to_string(i), "192.0.2." + std::to_string(100 + i)});
    }
    std::string expected;
    for (const std::string& address : kept) expected += address + " ";
    EXPECT_EQ(Elements(), expected);

    // Closing leaves the set as it is; a closed handle is refused.
    EXPECT_TRUE(arpnl_close(&handle) == 0 && handle == -1 && arpnl_close(&handle) == -1 &&
                arpnl_addaddr(&handle, Addr("192.0.2.13")) < 0 && arpnl_deladdr(&handle, Addr("192.0.2.1")) < 0);
    EXPECT_EQ(Elements(), expected);
  });
}

}  // namespace
