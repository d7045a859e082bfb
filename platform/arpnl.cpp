// The LAN-traffic regulator: admitted slave addresses are the elements of an
// nftables set, changed over netfilter netlink (libnftnl builds the messages,
// libmnl the batch and reads the answers: mnl_cb_run2 walks them, checking
// every length; mnl_attr_parse and mnl_attr_validate read the kernel's own
// words from an extended acknowledgement). The handle is the NETLINK_NETFILTER
// socket.
//
// Every change is one nfnetlink batch whose inner messages ask for an
// acknowledgement; a call waits for exactly those answers, ignores any message
// outside the batch's sequence numbers (late answers of an earlier call that
// timed out), and never waits longer than kAnswerTimeoutMs.
//
// Lock rule: g_regulatorMutex serialises every call (the agent's two listen
// threads share one handle without a lock of theirs). Diag is called only
// after it has been released.
#include "platform/arpnl.h"

#include <mutex>

#include "platform/diag.h"

#ifndef SIPTRUNK_WITH_NFTABLES

int arpnl_open(ARPNL_HANDLE* handle) {
  if (handle != nullptr) *handle = -1;
  siptrunk::Diag("LAN-traffic regulator: this build has no regulator (built without nftables)\n");
  return -1;
}
int arpnl_addaddr(ARPNL_HANDLE*, in_addr_t) { return -1; }
int arpnl_deladdr(ARPNL_HANDLE*, in_addr_t) { return -1; }
int arpnl_close(ARPNL_HANDLE* handle) {
  if (handle != nullptr) *handle = -1;
  return -1;
}

#else  // SIPTRUNK_WITH_NFTABLES

#include <arpa/inet.h>
#include <errno.h>
#include <libmnl/libmnl.h>
#include <libnftnl/common.h>
#include <libnftnl/set.h>
#include <libnftnl/table.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr const char* kTable = SIPTRUNK_NFT_TABLE;
constexpr const char* kSet = SIPTRUNK_NFT_SET;
constexpr uint32_t kIpv4AddrType = 7;  // nftables' datatype id of ipv4_addr
constexpr uint32_t kIpv4AddrLen = 4;
constexpr int kAnswerTimeoutMs = 2000;
constexpr int kMaxInnerMessages = 3;

std::mutex g_regulatorMutex;     // serialises every regulator call
uint32_t g_nextSeq = 0;          // guarded by g_regulatorMutex
char g_answer[64 * 1024];        // receive buffer; guarded by g_regulatorMutex

long MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec) * 1000L + now.tv_nsec / 1000000L;
}

std::string AddressText(in_addr_t address) {
  char text[INET_ADDRSTRLEN] = "?";
  in_addr in{};
  in.s_addr = address;
  inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

// Reserves `count` consecutive sequence numbers. Caller holds g_regulatorMutex.
uint32_t TakeSequence(uint32_t count) {
  if (g_nextSeq == 0 || g_nextSeq > 0xFFFF0000u) g_nextSeq = static_cast<uint32_t>(time(nullptr)) & 0x7FFFFFFFu;
  if (g_nextSeq == 0) g_nextSeq = 1;
  const uint32_t first = g_nextSeq;
  g_nextSeq += count;
  return first;
}

// What one batch should change.
enum class Change { kEnsureSet, kAddElement, kDeleteElement };

struct TableDeleter {
  void operator()(nftnl_table* t) const { nftnl_table_free(t); }
};
struct SetDeleter {
  void operator()(nftnl_set* s) const { nftnl_set_free(s); }
};

nftnl_table* NewTable() {
  nftnl_table* t = nftnl_table_alloc();
  if (t == nullptr) return nullptr;
  nftnl_table_set_u32(t, NFTNL_TABLE_FAMILY, NFPROTO_INET);
  if (nftnl_table_set_str(t, NFTNL_TABLE_NAME, kTable) != 0) {
    nftnl_table_free(t);
    return nullptr;
  }
  return t;
}

// The set named, with no elements: a deletion of its elements flushes it.
nftnl_set* SetByName() {
  nftnl_set* s = nftnl_set_alloc();
  if (s == nullptr) return nullptr;
  nftnl_set_set_u32(s, NFTNL_SET_FAMILY, NFPROTO_INET);
  if (nftnl_set_set_str(s, NFTNL_SET_TABLE, kTable) != 0 || nftnl_set_set_str(s, NFTNL_SET_NAME, kSet) != 0) {
    nftnl_set_free(s);
    return nullptr;
  }
  return s;
}

// The set as created: `type ipv4_addr`. With an element when `element` is non-null.
nftnl_set* NewSet(const in_addr_t* element) {
  nftnl_set* s = SetByName();
  if (s == nullptr) return nullptr;
  if (element == nullptr) {
    nftnl_set_set_u32(s, NFTNL_SET_KEY_TYPE, kIpv4AddrType);
    nftnl_set_set_u32(s, NFTNL_SET_KEY_LEN, kIpv4AddrLen);
    nftnl_set_set_u32(s, NFTNL_SET_ID, 1);
    return s;
  }
  nftnl_set_elem* e = nftnl_set_elem_alloc();
  if (e == nullptr || nftnl_set_elem_set(e, NFTNL_SET_ELEM_KEY, element, kIpv4AddrLen) != 0) {
    if (e != nullptr) nftnl_set_elem_free(e);
    nftnl_set_free(s);
    return nullptr;
  }
  nftnl_set_elem_add(s, e);  // the set owns the element now
  return s;
}

// One batch: BEGIN, the inner messages, END. Sequence numbers first..first+n+1.
class Batch {
 public:
  explicit Batch(uint32_t firstSeq) : m_first(firstSeq) {
    m_batch = mnl_nlmsg_batch_start(m_buf, kLimit);
    if (m_batch == nullptr) return;
    nftnl_batch_begin(static_cast<char*>(mnl_nlmsg_batch_current(m_batch)), m_first);
    m_ok = mnl_nlmsg_batch_next(m_batch);
  }
  ~Batch() {
    if (m_batch != nullptr) mnl_nlmsg_batch_stop(m_batch);
  }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  void AddTable(const nftnl_table* t) {
    nlmsghdr* h = Header(NFT_MSG_NEWTABLE, NLM_F_CREATE);
    if (h != nullptr && t != nullptr) {
      nftnl_table_nlmsg_build_payload(h, t);
      Next();
    } else {
      m_ok = false;
    }
  }
  void AddSet(nftnl_set* s) {
    nlmsghdr* h = Header(NFT_MSG_NEWSET, NLM_F_CREATE);
    if (h != nullptr && s != nullptr) {
      nftnl_set_nlmsg_build_payload(h, s);
      Next();
    } else {
      m_ok = false;
    }
  }
  void AddElements(uint16_t type, uint16_t flags, nftnl_set* s) {
    nlmsghdr* h = Header(type, flags);
    if (h != nullptr && s != nullptr) {
      nftnl_set_elems_nlmsg_build_payload(h, s);
      Next();
    } else {
      m_ok = false;
    }
  }
  bool Finish() {
    if (!m_ok || m_batch == nullptr) return false;
    nftnl_batch_end(static_cast<char*>(mnl_nlmsg_batch_current(m_batch)), m_first + m_inner + 1);
    return mnl_nlmsg_batch_next(m_batch);
  }

  const void* Data() const { return mnl_nlmsg_batch_head(m_batch); }
  size_t Size() const { return mnl_nlmsg_batch_size(m_batch); }
  uint32_t FirstSeq() const { return m_first; }
  int InnerCount() const { return m_inner; }

 private:
  static constexpr size_t kLimit = 4096;

  nlmsghdr* Header(uint16_t type, uint16_t flags) {
    if (!m_ok || m_batch == nullptr || m_inner >= kMaxInnerMessages) return nullptr;
    ++m_inner;
    return nftnl_nlmsg_build_hdr(static_cast<char*>(mnl_nlmsg_batch_current(m_batch)), type, NFPROTO_INET,
                                 static_cast<uint16_t>(flags | NLM_F_ACK), m_first + m_inner);
  }
  void Next() {
    if (!mnl_nlmsg_batch_next(m_batch)) m_ok = false;
  }

  // mnl batches may run one message past their limit.
  alignas(nlmsghdr) char m_buf[2 * kLimit];
  mnl_nlmsg_batch* m_batch = nullptr;
  uint32_t m_first;
  int m_inner = 0;
  bool m_ok = false;
};

// What one call has heard so far. Caller holds g_regulatorMutex.
struct Answers {
  uint32_t portId = 0;       // our socket's port: answers are addressed to it
  uint32_t first = 0;        // the BEGIN message's sequence number
  uint32_t last = 0;         // the END message's sequence number
  bool answered[kMaxInnerMessages] = {};
  int pending = 0;           // inner messages not answered yet
  int firstError = 0;        // the first inner message's error (negative errno)
  int batchError = 0;        // the batch as a whole was refused (negative errno)
  char reason[128] = "";     // the kernel's own words on the first error, if it gave any
};

// The extended acknowledgement's attributes (NLM_F_ACK_TLVS): the kernel's
// message is kept only when it is a terminated string of sane length.
int OnAckAttribute(const nlattr* attribute, void* data) {
  auto* found = static_cast<const nlattr**>(data);
  const uint16_t type = mnl_attr_get_type(attribute);
  if (type == NLMSGERR_ATTR_MSG) {
    if (mnl_attr_validate(attribute, MNL_TYPE_NUL_STRING) < 0) return MNL_CB_OK;  // ignored, not fatal
    found[NLMSGERR_ATTR_MSG] = attribute;
  } else if (type == NLMSGERR_ATTR_OFFS) {
    if (mnl_attr_validate(attribute, MNL_TYPE_U32) < 0) return MNL_CB_OK;
    found[NLMSGERR_ATTR_OFFS] = attribute;
  }
  return MNL_CB_OK;
}

// The kernel's text on an error, from the attributes that follow the
// nlmsgerr (and the echoed request, unless the kernel capped it).
void TakeReason(const nlmsghdr* h, const nlmsgerr* answer, Answers& answers) {
  if ((h->nlmsg_flags & NLM_F_ACK_TLVS) == 0 || answers.reason[0] != '\0') return;
  size_t offset = sizeof(nlmsgerr);
  if ((h->nlmsg_flags & NLM_F_CAPPED) == 0) offset += answer->msg.nlmsg_len - sizeof(nlmsghdr);
  if (offset >= mnl_nlmsg_get_payload_len(h)) return;  // no attributes follow
  const nlattr* found[NLMSGERR_ATTR_MAX + 1] = {};
  if (mnl_attr_parse(h, static_cast<unsigned>(MNL_ALIGN(offset)), OnAckAttribute, found) < 0) return;
  if (found[NLMSGERR_ATTR_MSG] != nullptr) {
    snprintf(answers.reason, sizeof answers.reason, "%s", mnl_attr_get_str(found[NLMSGERR_ATTR_MSG]));
  }
}

// One NLMSG_ERROR message (an acknowledgement when its error is 0). Messages
// that are not ours or not of this batch (late answers of an earlier call)
// are skipped.
int OnError(const nlmsghdr* h, void* data) {
  auto& answers = *static_cast<Answers*>(data);
  if (h->nlmsg_pid != answers.portId || h->nlmsg_seq < answers.first || h->nlmsg_seq > answers.last) {
    return MNL_CB_OK;
  }
  if (mnl_nlmsg_get_payload_len(h) < sizeof(nlmsgerr)) {
    answers.batchError = -EBADMSG;
    return MNL_CB_ERROR;
  }
  const auto* answer = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(h));
  // The answer echoes the header of the message it answers.
  if (answer->msg.nlmsg_seq != h->nlmsg_seq || answer->msg.nlmsg_len < sizeof(nlmsghdr)) {
    answers.batchError = -EBADMSG;
    return MNL_CB_ERROR;
  }
  // The kernel sends a negative errno; anything else non-zero is malformed.
  const int error = answer->error > 0 ? -EPROTO : answer->error;
  if (error != 0) TakeReason(h, answer, answers);
  if (h->nlmsg_seq == answers.first || h->nlmsg_seq == answers.last) {
    // The batch as a whole was refused (no permission, no memory): no
    // further answers will come.
    answers.batchError = error != 0 ? error : -EPROTO;
    return MNL_CB_STOP;
  }
  const uint32_t index = h->nlmsg_seq - answers.first - 1;
  if (answers.answered[index]) return MNL_CB_OK;
  answers.answered[index] = true;
  --answers.pending;
  if (error != 0 && answers.firstError == 0) answers.firstError = error;
  return answers.pending > 0 ? MNL_CB_OK : MNL_CB_STOP;
}

// Any other message in an answer (nftables sends none to a batch without
// NLM_F_ECHO): skipped.
int OnOther(const nlmsghdr*, void*) { return MNL_CB_OK; }

// Sends the batch and waits for the answer to each inner message. 0 when all
// succeeded, otherwise the first negative errno (the kernel applies a batch
// wholly or not at all); `reason` gets the kernel's words when it gave some.
// Caller holds g_regulatorMutex.
int Transact(int fd, Batch& batch, std::string& reason) {
  sockaddr_nl local{};
  socklen_t localLen = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 || localLen != sizeof local ||
      local.nl_family != AF_NETLINK) {
    return -EBADF;
  }
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  const ssize_t sent = sendto(fd, batch.Data(), batch.Size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
  if (sent < 0) return -errno;
  if (static_cast<size_t>(sent) != batch.Size()) return -EMSGSIZE;

  Answers answers;
  answers.portId = local.nl_pid;
  answers.first = batch.FirstSeq();
  answers.last = answers.first + static_cast<uint32_t>(batch.InnerCount()) + 1;  // the END message
  answers.pending = batch.InnerCount();
  // NLMSG_NOOP, NLMSG_ERROR, NLMSG_DONE, NLMSG_OVERRUN: only errors count.
  mnl_cb_t control[NLMSG_MIN_TYPE] = {nullptr, OnOther, OnError, OnOther, OnOther};  // libmnl takes it non-const
  const long deadline = MonotonicMs() + kAnswerTimeoutMs;
  while (answers.pending > 0 && answers.batchError == 0) {
    const long left = deadline - MonotonicMs();
    if (left <= 0) return -ETIMEDOUT;
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return -ETIMEDOUT;
    if (ready < 0) return -errno;
    sockaddr_nl from{};
    socklen_t fromLen = sizeof from;
    const ssize_t got = recvfrom(fd, g_answer, sizeof g_answer, MSG_DONTWAIT | MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -errno;
    }
    if (static_cast<size_t>(got) > sizeof g_answer) return -EMSGSIZE;
    if (fromLen != sizeof from || from.nl_pid != 0) continue;  // only the kernel answers
    // Sequence and port are checked per message in OnError (a batch spans
    // several sequence numbers), so libmnl is given 0 for both.
    errno = 0;
    if (mnl_cb_run2(g_answer, static_cast<size_t>(got), 0, 0, OnOther, &answers, control, NLMSG_MIN_TYPE) < 0 &&
        answers.batchError == 0) {
      answers.batchError = errno != 0 ? -errno : -EBADMSG;
    }
  }
  reason = answers.reason;
  return answers.batchError != 0 ? answers.batchError : answers.firstError;
}

// True when fd is a netfilter netlink socket (the handle might hold anything).
bool IsRegulatorSocket(int fd) {
  if (fd < 0) return false;
  int domain = 0, protocol = 0;
  socklen_t len = sizeof domain;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 || domain != AF_NETLINK) return false;
  len = sizeof protocol;
  return getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) == 0 && protocol == NETLINK_NETFILTER;
}

// Builds and runs one batch. Caller holds g_regulatorMutex.
int Apply(int fd, Change change, in_addr_t address, std::string& reason) {
  std::unique_ptr<nftnl_table, TableDeleter> table;
  std::unique_ptr<nftnl_set, SetDeleter> set;
  std::unique_ptr<nftnl_set, SetDeleter> elements;
  const int inner = change == Change::kDeleteElement ? 1 : 3;
  Batch batch(TakeSequence(static_cast<uint32_t>(inner) + 2));
  if (change != Change::kDeleteElement) {
    // Creating without NLM_F_EXCL succeeds when they exist already, and
    // recreates them when they were deleted under the agent.
    table.reset(NewTable());
    set.reset(NewSet(nullptr));
    batch.AddTable(table.get());
    batch.AddSet(set.get());
  }
  if (change == Change::kEnsureSet) {
    // Opening starts from an empty set: the agent admits the registered
    // slaves again once the user agent connects, so after a restart the set
    // holds exactly those, nothing left over from an earlier run.
    elements.reset(SetByName());
    batch.AddElements(NFT_MSG_DELSETELEM, 0, elements.get());
  } else if (change == Change::kAddElement) {
    elements.reset(NewSet(&address));
    batch.AddElements(NFT_MSG_NEWSETELEM, NLM_F_CREATE, elements.get());
  } else if (change == Change::kDeleteElement) {
    elements.reset(NewSet(&address));
    batch.AddElements(NFT_MSG_DELSETELEM, 0, elements.get());
  }
  if (!batch.Finish()) return -ENOMEM;
  return Transact(fd, batch, reason);
}

int ChangeAddress(ARPNL_HANDLE* handle, in_addr_t address, Change change) {
  const char* verb = change == Change::kAddElement ? "adding" : "removing";
  int rc;
  std::string reason;
  {
    std::lock_guard<std::mutex> lock(g_regulatorMutex);
    if (handle == nullptr || !IsRegulatorSocket(*handle)) {
      rc = -EBADF;
    } else {
      rc = Apply(*handle, change, address, reason);
    }
  }
  if (rc < 0) {
    siptrunk::Diag("LAN-traffic regulator: %s %s failed: %s%s%s\n", verb, AddressText(address).c_str(),
                   rc == -EBADF ? "the regulator is not open" : strerror(-rc), reason.empty() ? "" : ": ",
                   reason.c_str());
  }
  return rc < 0 ? -1 : 0;
}

}  // namespace

int arpnl_open(ARPNL_HANDLE* handle) {
  if (handle == nullptr) {
    siptrunk::Diag("LAN-traffic regulator: no handle given\n");
    return -1;
  }
  const char* step = nullptr;
  int error = 0;
  std::string reason;
  {
    std::lock_guard<std::mutex> lock(g_regulatorMutex);
    *handle = -1;
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (fd < 0) {
      step = "cannot open a netfilter netlink socket";
      error = errno;
    } else {
      sockaddr_nl local{};
      local.nl_family = AF_NETLINK;
      // Ask for the kernel's own words with an error (older kernels ignore it).
      const int on = 1;
      setsockopt(fd, SOL_NETLINK, NETLINK_EXT_ACK, &on, sizeof on);
      if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        step = "cannot bind the netfilter netlink socket";
        error = errno;
      } else {
        const int rc = Apply(fd, Change::kEnsureSet, 0, reason);
        if (rc < 0) {
          step = "cannot create the nftables table and set";
          error = -rc;
        }
      }
      if (step != nullptr) {
        close(fd);
      } else {
        *handle = fd;
      }
    }
  }
  if (step != nullptr) {
    siptrunk::Diag("LAN-traffic regulator: %s (inet %s, set %s): %s%s%s%s\n", step, kTable, kSet, strerror(error),
                   error == EPERM ? " (CAP_NET_ADMIN is needed)" : "", reason.empty() ? "" : ": ", reason.c_str());
    return -1;
  }
  return 0;
}

int arpnl_addaddr(ARPNL_HANDLE* handle, in_addr_t address) {
  return ChangeAddress(handle, address, Change::kAddElement);
}

int arpnl_deladdr(ARPNL_HANDLE* handle, in_addr_t address) {
  return ChangeAddress(handle, address, Change::kDeleteElement);
}

int arpnl_close(ARPNL_HANDLE* handle) {
  if (handle == nullptr) return -1;
  std::lock_guard<std::mutex> lock(g_regulatorMutex);
  if (*handle < 0) return -1;
  close(*handle);
  *handle = -1;
  return 0;
}

#endif  // SIPTRUNK_WITH_NFTABLES
