// The trace log: one append-only file, rotated by size, written one whole line
// per write() so that lines of concurrent threads never interleave.
//
// Lock rule: Impl::mutex guards the file descriptor, the size count, the
// rotation bound and the retry time. It is the innermost lock of the process:
// nothing here calls siptrunk::Diag (Diag calls TRACE while holding its own
// lock) or any other code that could take a lock. Problems of the log itself
// are reported straight to standard error.
#include "platform/logger.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/diag.h"
#include "platform/paths.h"

namespace {

// Room kept in front of the formatted text for "YYYY-MM-DDTHH:MM:SS.mmmZ <level> ".
constexpr size_t kPrefixRoom = 40;
// Lines up to this size are formatted on the stack; longer ones on the heap.
constexpr size_t kStackLine = 1024;
// Longer texts are cut here and marked.
constexpr size_t kMaxText = 16 * 1024;
constexpr char kTruncatedMark[] = " [line truncated]\n";
// After a failed open, the next attempt waits this long.
constexpr long kReopenIntervalMs = 1000;

long MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec) * 1000L + now.tv_nsec / 1000000L;
}

// Writes all of [data, data+len) to fd, retrying on EINTR and short writes.
bool WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// A short note about the log itself, to standard error (never through Diag).
void Note(const char* what, const std::string& path, int error) {
  char text[512];
  const int n = snprintf(text, sizeof text, "siptrunk: trace log %s: %s: %s\n", path.c_str(), what,
                         strerror(error));
  if (n > 0) WriteAll(STDERR_FILENO, text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

// A note that names no system error.
void NoteText(const char* what, const std::string& path) {
  char text[512];
  const int n = snprintf(text, sizeof text, "siptrunk: trace log %s: %s\n", path.c_str(), what);
  if (n > 0) WriteAll(STDERR_FILENO, text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

}  // namespace

struct CSIPTrunkLogger::Impl {
  std::mutex mutex;
  std::string path;           // empty: no file, standard error only
  int fd = -1;                // guarded by mutex
  size_t size = 0;            // bytes in the current file; guarded by mutex
  size_t rotateBytes = 0;     // 0: never rotate; guarded by mutex
  long nextOpenMs = 0;        // earliest retry after a failed open; guarded by mutex
  bool openFailed = false;    // the last open failed (noted once per episode); guarded by mutex
  unsigned long dropped = 0;  // lines dropped since then; guarded by mutex

  // Opens (or creates) the file, mode 0600 whatever it was before. Caller holds mutex.
  // A symbolic link or anything but a regular file at the path is refused:
  // whoever could plant one in the logs directory would have the passwords
  // written where they chose.
  bool Open() {
    if (path.empty()) return false;
    const int newFd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat st {};
    const int error = newFd < 0 ? errno : (fstat(newFd, &st) != 0 ? errno : 0);
    if (newFd < 0 || error != 0 || !S_ISREG(st.st_mode)) {
      if (newFd >= 0) close(newFd);
      nextOpenMs = MonotonicMs() + kReopenIntervalMs;
      if (!openFailed) {
        if (error == ELOOP) {
          NoteText("is a symbolic link; refusing to write through it, trace lines are dropped", path);
        } else if (error == 0 || error == ENXIO) {
          NoteText("is not a regular file; refusing it, trace lines are dropped", path);
        } else {
          Note("cannot open, trace lines are dropped (they may hold passwords, so not to standard error)", path,
               error);
        }
      }
      openFailed = true;
      return false;
    }
    // An existing file may have been created with a wider mode; it holds passwords.
    if (fchmod(newFd, 0600) != 0) Note("cannot set mode 0600", path, errno);
    size = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    fd = newFd;
    if (openFailed && dropped > 0) {
      const std::string text = "open again; " + std::to_string(dropped) + " lines were dropped meanwhile";
      NoteText(text.c_str(), path);
    }
    dropped = 0;
    openFailed = false;
    return true;
  }

  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
    size = 0;
  }

  // Renames the full file to "<path>.1" and begins a new one. Caller holds mutex.
  void Rotate() {
    const std::string previous = path + ".1";
    // rename() would replace a link there rather than follow it, but a planted
    // link says someone meddles with the directory: leave it for a person.
    struct stat st {};
    if (lstat(previous.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      NoteText(S_ISLNK(st.st_mode) ? "cannot rotate: the .1 file is a symbolic link; not replacing it"
                                   : "cannot rotate: the .1 file is not a regular file; not replacing it",
               path);
      size = 0;
      return;
    }
    if (rename(path.c_str(), previous.c_str()) != 0) {
      // Keep appending to the current file; try again after another bound's worth.
      Note("cannot rotate", path, errno);
      size = 0;
      return;
    }
    Close();
    Open();
  }

  // Writes one complete line. While the file cannot be written, lines are
  // dropped: they may hold passwords, and standard error goes to the journal,
  // which other users may read. Caller holds mutex.
  void WriteLine(const char* line, size_t len) {
    if (fd < 0 && !path.empty() && MonotonicMs() >= nextOpenMs) Open();
    if (fd >= 0 && rotateBytes > 0 && size > 0 && size + len > rotateBytes) Rotate();
    if (fd >= 0) {
      if (WriteAll(fd, line, len)) {
        size += len;
        return;
      }
      const int error = errno;
      Note("write failed, reopening later", path, error);
      Close();
      nextOpenMs = MonotonicMs() + kReopenIntervalMs;
      openFailed = true;
    }
    ++dropped;
  }
};

CSIPTrunkLogger::CSIPTrunkLogger(const char* fileName) : m_pImpl(new Impl) {
  if (fileName != nullptr && *fileName != '\0') {
    m_pImpl->path = siptrunk::LogFilePath(fileName);
  } else {
    static const char kNoName[] = "siptrunk: trace log has no file name; trace lines are dropped\n";
    WriteAll(STDERR_FILENO, kNoName, sizeof kNoName - 1);
  }
  m_pImpl->rotateBytes = static_cast<size_t>(SIPTRUNK_LOG_ROTATE_BYTES);
  {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->Open();
  }
  siptrunk::SetDiagLogger(this);
}

CSIPTrunkLogger::~CSIPTrunkLogger() {
  // Withdraw first: once this returns no Diag call is inside TRACE any more.
  siptrunk::SetDiagLogger(nullptr);
  {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->Close();
  }
  delete m_pImpl;
}

void CSIPTrunkLogger::SetRotateBytes(size_t bytes) {
  std::lock_guard<std::mutex> lock(m_pImpl->mutex);
  m_pImpl->rotateBytes = bytes;
}

void CSIPTrunkLogger::TRACE(unsigned char level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VTRACE(level, format, args);
  va_end(args);
}

void CSIPTrunkLogger::VTRACE(unsigned char level, const char* format, va_list args) {
  // The text is formatted outside the lock, after kPrefixRoom bytes of room
  // into which the timestamp goes once the lock is held (so that the file's
  // lines are in time order), leaving one buffer for one write().
  char stackBuf[kPrefixRoom + kStackLine + sizeof kTruncatedMark];
  char* buf = stackBuf;
  char* heapBuf = nullptr;
  size_t textLen = 0;

  if (format == nullptr) format = "(null trace format)\n";
  va_list again;
  va_copy(again, args);
  const int n = vsnprintf(buf + kPrefixRoom, kStackLine + 1, format, args);
  if (n < 0) {
    static const char kBad[] = "(unprintable trace line)\n";
    memcpy(buf + kPrefixRoom, kBad, sizeof kBad - 1);
    textLen = sizeof kBad - 1;
  } else if (static_cast<size_t>(n) <= kStackLine) {
    textLen = static_cast<size_t>(n);
  } else {
    const bool cut = static_cast<size_t>(n) > kMaxText;
    const size_t want = cut ? kMaxText : static_cast<size_t>(n);
    heapBuf = static_cast<char*>(malloc(kPrefixRoom + want + 1 + sizeof kTruncatedMark));
    if (heapBuf != nullptr) {
      buf = heapBuf;
      vsnprintf(buf + kPrefixRoom, want + 1, format, again);
      textLen = want;
      if (cut) {
        memcpy(buf + kPrefixRoom + textLen, kTruncatedMark, sizeof kTruncatedMark - 1);
        textLen += sizeof kTruncatedMark - 1;
      }
    } else {
      textLen = kStackLine;  // out of memory: keep what fitted on the stack
      memcpy(buf + kPrefixRoom + textLen, kTruncatedMark, sizeof kTruncatedMark - 1);
      textLen += sizeof kTruncatedMark - 1;
    }
  }
  va_end(again);
  // One line end, whether or not the caller's format carried it.
  if (textLen == 0 || buf[kPrefixRoom + textLen - 1] != '\n') buf[kPrefixRoom + textLen++] = '\n';

  {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc {};
    gmtime_r(&now.tv_sec, &utc);
    char prefix[kPrefixRoom];
    int p = snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ %u ", utc.tm_year + 1900,
                     utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, now.tv_nsec / 1000000L,
                     static_cast<unsigned>(level));
    if (p < 0) p = 0;
    const size_t prefixLen = static_cast<size_t>(p) < sizeof prefix ? static_cast<size_t>(p) : sizeof prefix - 1;
    char* line = buf + kPrefixRoom - prefixLen;
    memcpy(line, prefix, prefixLen);
    m_pImpl->WriteLine(line, prefixLen + textLen);
  }
  free(heapBuf);
}
