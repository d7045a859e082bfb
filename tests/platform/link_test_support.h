// Shared by the platform tests: private directories, bounded waiting, socket
// files, and the includes that nearly every one of them needs.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <list>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace linktest {

// Generous: only there so that a broken link fails a test instead of hanging it.
constexpr auto kPatience = std::chrono::seconds(20);

// The environment variable `var` points at a fresh temporary directory for
// the object's lifetime. Create it before anything that reads the path.
class ScopedRuntimeDirectory {
 public:
  explicit ScopedRuntimeDirectory(const char* var = "RUNTIME_DIRECTORY") : m_var(var) {
    char pattern[] = "/tmp/siptrunk-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) m_dir = pattern;
    setenv(var, m_dir.c_str(), 1);
  }
  ~ScopedRuntimeDirectory() {
    unsetenv(m_var);
    if (!m_dir.empty() && system(("rm -rf '" + m_dir + "'").c_str()) != 0) ADD_FAILURE() << "cannot remove " << m_dir;
  }
  ScopedRuntimeDirectory(const ScopedRuntimeDirectory&) = delete;
  ScopedRuntimeDirectory& operator=(const ScopedRuntimeDirectory&) = delete;
  const std::string& Path() const { return m_dir; }

 private:
  const char* m_var;
  std::string m_dir;
};

// The items, each followed by a NUL, the last one `repeatLast` times.
inline std::string Packet(std::initializer_list<std::string> items, size_t repeatLast = 1) {
  std::string out;
  size_t i = 0;
  for (const std::string& item : items) {
    for (size_t n = ++i == items.size() ? repeatLast : 1; n > 0; --n) out += item + '\0';
  }
  return out;
}

// Polls `done` until it holds or kPatience has passed.
inline bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (std::chrono::steady_clock::now() > deadline) return false;
  }
  return true;
}

inline sockaddr_un AddressOf(const std::string& path, socklen_t* len) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  *len = static_cast<socklen_t>(sizeof addr);
  return addr;
}

// A socket of `type` bound at `path` (and listened on unless SOCK_DGRAM); -1 on failure.
// Closed again, it leaves a stale socket file behind, as a crashed run does.
inline int BindAt(const std::string& path, int type) {
  const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  socklen_t len;
  const sockaddr_un addr = AddressOf(path, &len);
  if (fd >= 0 && (bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
                  (type != SOCK_DGRAM && listen(fd, 4) != 0))) {
    close(fd);
    return -1;
  }
  return fd;
}

// lstat's view of `path`, all zero when it is missing.
inline struct stat StatOf(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) st = {};
  return st;
}
inline bool Exists(const std::string& path) { return StatOf(path).st_nlink != 0; }
inline ino_t InodeOf(const std::string& path) { return StatOf(path).st_ino; }
inline unsigned ModeOf(const std::string& path) { return static_cast<unsigned>(StatOf(path).st_mode & 07777); }

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs `body` with standard error going to a file under `dir`; returns what was written.
template <typename Body>
std::string CaptureStderr(const std::string& dir, Body body) {
  const std::string path = dir + "/stderr." + std::to_string(getpid()) + ".txt";
  fflush(stderr);
  const int saved = dup(STDERR_FILENO), sink = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(sink, STDERR_FILENO);
  close(sink);
  body();
  fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  const std::string text = ReadFile(path);
  unlink(path.c_str());
  return text;
}

}  // namespace linktest
