#include "platform/route_answer.h"

#include <errno.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>

#include <cstring>

namespace siptrunk {
namespace {

// The netlink message that starts `at` bytes into a datagram of `size` bytes,
// or null when no complete message starts there.
const nlmsghdr* MessageAt(const char* data, size_t size, size_t at) {
  if (at > size || size - at < sizeof(nlmsghdr)) return nullptr;
  const auto* h = reinterpret_cast<const nlmsghdr*>(data + at);
  if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > size - at) return nullptr;
  return h;
}

// Walks the attributes that follow a fixed header of `fixedLen` bytes in h,
// calling take(type, data, length) for each well-formed one.
template <typename Take>
void ForEachAttribute(const nlmsghdr& h, size_t fixedLen, Take take) {
  if (h.nlmsg_len < NLMSG_LENGTH(NLMSG_ALIGN(fixedLen))) return;
  const char* base = static_cast<const char*>(NLMSG_DATA(&h)) + NLMSG_ALIGN(fixedLen);
  int left = static_cast<int>(h.nlmsg_len) - static_cast<int>(NLMSG_LENGTH(NLMSG_ALIGN(fixedLen)));
  for (auto* a = reinterpret_cast<const rtattr*>(base); left > 0 && RTA_OK(a, left); a = RTA_NEXT(a, left)) {
    take(a->rta_type, RTA_DATA(a), RTA_PAYLOAD(a));
  }
}

uint32_t ReadU32(const void* data) {
  uint32_t value;
  memcpy(&value, data, sizeof value);
  return value;
}

}  // namespace

AnswerStep WalkAnswer(const void* data, size_t size, uint32_t seq, uint32_t portId,
                      const std::function<bool(const nlmsghdr&)>& visit) {
  const char* bytes = static_cast<const char*>(data);
  AnswerStep step;
  for (size_t at = 0; const nlmsghdr* h = MessageAt(bytes, size, at); at += NLMSG_ALIGN(h->nlmsg_len)) {
    if (h->nlmsg_seq != seq || h->nlmsg_pid != portId) continue;  // stale or foreign
    if (h->nlmsg_type == NLMSG_DONE) {
      step.complete = true;
      return step;
    }
    if (h->nlmsg_type == NLMSG_ERROR) {
      step.complete = true;
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
        step.error = -EBADMSG;
      } else {
        int error;
        memcpy(&error, NLMSG_DATA(h), sizeof error);  // nlmsgerr.error; 0 is a plain acknowledgement
        step.error = error > 0 ? -EPROTO : error;     // the kernel sends a negative errno
      }
      return step;
    }
    if (!visit(*h) || (h->nlmsg_flags & NLM_F_MULTI) == 0) {
      step.complete = true;
      return step;
    }
  }
  return step;
}

bool TakeRoute(const nlmsghdr& h, RouteFacts* facts) {
  if (h.nlmsg_type != RTM_NEWROUTE || h.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return false;
  const auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(&h));
  if (rt->rtm_family != AF_INET) return false;
  *facts = RouteFacts{};
  facts->answered = true;
  facts->type = rt->rtm_type;
  ForEachAttribute(h, sizeof(rtmsg), [&](unsigned short type, const void* data, size_t len) {
    if (len != 4) return;
    if (type == RTA_PREFSRC) facts->prefSrc = ReadU32(data);
    if (type == RTA_OIF) facts->oif = ReadU32(data);
  });
  return true;
}

uint32_t AddressOf(const nlmsghdr& h, uint32_t ifIndex) {
  AddressFacts facts;
  return TakeAddress(h, &facts) && facts.ifIndex == ifIndex ? facts.address : 0;
}

bool TakeAddress(const nlmsghdr& h, AddressFacts* facts) {
  if (h.nlmsg_type != RTM_NEWADDR || h.nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return false;
  const auto* ifa = static_cast<const ifaddrmsg*>(NLMSG_DATA(&h));
  if (ifa->ifa_family != AF_INET) return false;
  *facts = AddressFacts{};
  facts->ifIndex = ifa->ifa_index;
  uint32_t local = 0, address = 0;
  ForEachAttribute(h, sizeof(ifaddrmsg), [&](unsigned short type, const void* data, size_t len) {
    if (type == IFA_LABEL) {
      const auto* text = static_cast<const char*>(data);
      facts->label.assign(text, strnlen(text, len));
    }
    if (len != 4) return;
    if (type == IFA_LOCAL) local = ReadU32(data);
    if (type == IFA_ADDRESS) address = ReadU32(data);
  });
  facts->address = local != 0 ? local : address;
  return true;
}

}  // namespace siptrunk
