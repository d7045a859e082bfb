#include "tools/uasim/line_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace siptrunk {
namespace uasim {
namespace {

// A command line longer than this is cut off at this length: input is never
// held without bound.
constexpr size_t kMaxLine = 64 * 1024;

}  // namespace

LineSource::LineSource(int fd, std::string name, std::string fifoPath, bool ownsFd)
    : m_fd(fd), m_name(std::move(name)), m_fifoPath(std::move(fifoPath)), m_ownsFd(ownsFd) {}

LineSource::~LineSource() {
  if (m_fd >= 0 && m_ownsFd) close(m_fd);
}

std::unique_ptr<LineSource> LineSource::OpenFile(const std::string& path, std::string* error) {
  if (path == "-") return Stdin();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open the script " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<LineSource>(new LineSource(fd, path, std::string(), true));
}

std::unique_ptr<LineSource> LineSource::Stdin() {
  return std::unique_ptr<LineSource>(new LineSource(STDIN_FILENO, "standard input", std::string(), false));
}

std::unique_ptr<LineSource> LineSource::OpenFifo(const std::string& path, std::string* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT || mkfifo(path.c_str(), 0600) != 0) {
      *error = "cannot create the control FIFO " + path + ": " + std::strerror(errno);
      return nullptr;
    }
  } else if (!S_ISFIFO(st.st_mode)) {
    *error = path + " exists and is not a FIFO";
    return nullptr;
  }
  std::unique_ptr<LineSource> source(new LineSource(-1, path, path, true));
  if (!source->ReopenFifo(error)) return nullptr;
  return source;
}

bool LineSource::ReopenFifo(std::string* error) {
  if (m_fd >= 0) close(m_fd);
  // Non-blocking, so the open does not wait for a writer; poll then reports
  // nothing until a writer has come and written or gone.
  m_fd = open(m_fifoPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (m_fd < 0) {
    *error = "cannot open the control FIFO " + m_fifoPath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void LineSource::TakeCompleteLines(std::vector<std::string>* lines) {
  size_t start = 0;
  for (size_t nl = m_partial.find('\n'); nl != std::string::npos; nl = m_partial.find('\n', start)) {
    lines->push_back(m_partial.substr(start, nl - start));
    start = nl + 1;
  }
  m_partial.erase(0, start);
  if (m_partial.size() > kMaxLine) {
    lines->push_back(m_partial.substr(0, kMaxLine));
    m_partial.clear();
  }
}

bool LineSource::ReadLines(std::vector<std::string>* lines, std::string* error) {
  if (m_fd < 0) return true;
  char buffer[4096];
  const ssize_t n = read(m_fd, buffer, sizeof buffer);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return true;
    *error = "cannot read " + m_name + ": " + std::strerror(errno);
    if (m_ownsFd) close(m_fd);
    m_fd = -1;
    return false;
  }
  if (n > 0) {
    m_partial.append(buffer, static_cast<size_t>(n));
    TakeCompleteLines(lines);
    return true;
  }
  // End of input from this writer.
  if (!m_partial.empty()) {
    lines->push_back(m_partial);
    m_partial.clear();
  }
  if (!m_fifoPath.empty()) return ReopenFifo(error);
  if (m_ownsFd) close(m_fd);
  m_fd = -1;
  return true;
}

}  // namespace uasim
}  // namespace siptrunk
