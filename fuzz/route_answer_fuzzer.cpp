// Fuzz target: the decoding of the kernel's rtnetlink answers to a route lookup (platform/route_answer.cpp):
// one datagram walked for the route message, then again as an address dump, with sequence kSeq and port kPort
// (the seeds use them). Nothing may be read outside the datagram (ASan); the rest are the FUZZ_CHECKs.
#include <linux/rtnetlink.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_check.h"
#include "platform/route_answer.h"

using namespace siptrunk;

namespace {

constexpr uint32_t kSeq = 1;
constexpr uint32_t kPort = 0x1234;

void CheckStep(const AnswerStep& step) {
  FUZZ_CHECK(step.error <= 0, "an error is a negative errno");
  FUZZ_CHECK(step.complete || step.error == 0, "only a complete answer carries an error");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that ASan catches a read one byte past the end;
  // operator new aligns it for nlmsghdr as the lookup's receive buffer is.
  std::unique_ptr<char[]> datagram(new char[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(datagram.get(), data, size);
  const char* begin = datagram.get();
  const char* end = begin + size;

  auto checkMessage = [&](const nlmsghdr& h) {
    const char* at = reinterpret_cast<const char*>(&h);
    FUZZ_CHECK(at >= begin && h.nlmsg_len >= sizeof(nlmsghdr) && h.nlmsg_len <= static_cast<size_t>(end - at),
               "a message handed on lies within the datagram");
    FUZZ_CHECK(h.nlmsg_seq == kSeq && h.nlmsg_pid == kPort, "a message handed on is ours");
    FUZZ_CHECK(h.nlmsg_type != NLMSG_DONE && h.nlmsg_type != NLMSG_ERROR, "control messages end the walk");
  };

  RouteFacts route;
  int routes = 0;
  CheckStep(WalkAnswer(begin, size, kSeq, kPort, [&](const nlmsghdr& h) {
    checkMessage(h);
    const bool taken = TakeRoute(h, &route);
    if (taken) {
      ++routes;
      FUZZ_CHECK(h.nlmsg_type == RTM_NEWROUTE && h.nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg)),
                 "route facts come from a whole RTM_NEWROUTE message");
    }
    return !taken;
  }));
  FUZZ_CHECK(route.answered == (routes == 1), "the walk stops at the first route message");

  uint32_t found = 0;
  CheckStep(WalkAnswer(begin, size, kSeq, kPort, [&](const nlmsghdr& h) {
    checkMessage(h);
    const uint32_t address = AddressOf(h, route.oif);
    if (address != 0) FUZZ_CHECK(h.nlmsg_type == RTM_NEWADDR, "an address comes from an RTM_NEWADDR message");
    if (found == 0) found = address;
    return true;
  }));
  return 0;
}
