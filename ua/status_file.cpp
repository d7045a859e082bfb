#include "ua/status_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace siptrunk {
namespace ua {

namespace {

// Fields are separated by tabs; a backslash, a tab, a line end or any other
// control byte inside a field is written as \xHH.
std::string Field(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '\\') {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::string FormatStatus(uint64_t wallNow, const std::vector<TrunkStatus>& trunks,
                         const std::vector<SlaveStatus>& slaves) {
  std::string out = "siptrunk-ua status 1\nwritten\t" + std::to_string(wallNow) + "\n";
  for (const TrunkStatus& t : trunks) {
    out += "trunk\t" + Field(t.user) + "\t" + Field(t.master) + "\t" + (t.registered ? "1" : "0") + "\t" +
           std::to_string(t.code) + "\t" + Field(t.reason) + "\t" + std::to_string(t.expires) + "\t" +
           std::to_string(t.nextAttempt) + "\n";
  }
  for (const SlaveStatus& s : slaves) {
    out += "slave\t" + Field(s.user) + "\t" + Field(s.address) + "\t" + std::to_string(s.port) + "\t" +
           Field(s.device) + "\t" + std::to_string(s.code) + "\t" + Field(s.reason) + "\t" +
           std::to_string(s.expires) + "\n";
  }
  return out + "end\n";
}

bool ReplaceFile(const std::string& path, const std::string& text, std::string* error) {
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0640);
  if (fd < 0) {
    *error = temporary + ": " + std::strerror(errno);
    return false;
  }
  // Readable by the group (siptrunkctl run by an operator of the group),
  // whatever the service's umask (the unit sets 0077).
  fchmod(fd, 0640);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = done == text.size() && fsync(fd) == 0;
  const int savedErrno = errno;
  close(fd);
  if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
    *error = path + ": " + std::strerror(ok ? errno : savedErrno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace ua
}  // namespace siptrunk
