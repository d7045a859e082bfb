// The trace log.
//
// One file (mode 0600, it holds passwords in clear) under the logs directory.
// Every line carries a UTC timestamp and its level. Lines written by several
// threads at once never interleave: each is formatted in full and written with
// one write() under the logger's own lock. When the file grows past its bound
// it is renamed to "<name>.1" (replacing the previous one) and a new file is
// begun. The file is opened without following a symbolic link, and a link at
// "<name>.1" stops the rotation: both are refused with a note on standard
// error. A failure to open or write the file never reaches the caller: the
// line is dropped (never sent to standard error, which may reach the journal:
// trace lines hold passwords) and the count of dropped lines is noted once the
// file can be written again.
//
// Thread-safe; the logger takes no lock of anyone else's.
#pragma once

#include <cstdarg>
#include <cstddef>

class CSIPTrunkLogger {
 public:
  // fileName is a bare file name; the file lives in the logs directory.
  explicit CSIPTrunkLogger(const char* fileName);
  virtual ~CSIPTrunkLogger();
  CSIPTrunkLogger(const CSIPTrunkLogger&) = delete;
  CSIPTrunkLogger& operator=(const CSIPTrunkLogger&) = delete;

  // Writes one line. The format carries its own line end.
  void TRACE(unsigned char level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void VTRACE(unsigned char level, const char* format, va_list args) __attribute__((format(printf, 3, 0)));

  // Size at which the file is rotated (default: the build-time bound).
  void SetRotateBytes(size_t bytes);

 private:
  struct Impl;
  Impl* m_pImpl;
};
