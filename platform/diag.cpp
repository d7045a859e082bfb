#include "platform/diag.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/logger.h"

namespace siptrunk {
namespace {

std::mutex g_sinkMutex;                 // guards g_logger against its withdrawal
CSIPTrunkLogger* g_logger = nullptr;    // guarded by g_sinkMutex

}  // namespace

void SetDiagLogger(CSIPTrunkLogger* logger) {
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  g_logger = logger;
}

void Diag(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  // Standard error gets the line with a trailing newline, in one write.
  char out[sizeof line + 32];
  size_t len = static_cast<size_t>(snprintf(out, sizeof out, "siptrunk: %s", line));
  if (len >= sizeof out) len = sizeof out - 1;
  if (len > 0 && out[len - 1] != '\n' && len + 1 < sizeof out) out[len++] = '\n';
  ssize_t ignored = write(STDERR_FILENO, out, len);
  (void)ignored;

  std::lock_guard<std::mutex> lock(g_sinkMutex);
  if (g_logger != nullptr) {
    const bool hasNewline = static_cast<size_t>(n) < sizeof line && n > 0 && line[n - 1] == '\n';
    g_logger->TRACE(3, hasNewline ? "ERROR: %s" : "ERROR: %s\n", line);
  }
}

void Note(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  if (g_logger != nullptr) g_logger->TRACE(3, "INFO: %s\n", line);
}

}  // namespace siptrunk
