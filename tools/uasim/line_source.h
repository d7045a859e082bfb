// Where siptrunk-uasim's commands come from: a script file, standard input,
// or a control FIFO that any number of writers open and close in turn.
//
// Owned and used by the one thread of siptrunk-uasim; not thread-safe.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace siptrunk {
namespace uasim {

class LineSource {
 public:
  ~LineSource();
  LineSource(const LineSource&) = delete;
  LineSource& operator=(const LineSource&) = delete;

  // A script file ("-" is standard input).
  static std::unique_ptr<LineSource> OpenFile(const std::string& path, std::string* error);
  static std::unique_ptr<LineSource> Stdin();
  // A FIFO, created (mode 0600) when missing; refuses a path that is
  // something else. When a writer closes, it is opened again for the next.
  static std::unique_ptr<LineSource> OpenFifo(const std::string& path, std::string* error);

  // The descriptor to poll for input; -1 once the source has ended.
  int Fd() const { return m_fd; }
  bool Ended() const { return m_fd < 0; }
  const std::string& Name() const { return m_name; }

  // Reads once (call when Fd() polls readable) and appends every complete
  // line. At the end of input, a last line without its newline is appended
  // too; a file or standard input then ends, a FIFO waits for its next writer.
  // False with *error when reading failed (the source has then ended).
  bool ReadLines(std::vector<std::string>* lines, std::string* error);

 private:
  LineSource(int fd, std::string name, std::string fifoPath, bool ownsFd);
  bool ReopenFifo(std::string* error);
  void TakeCompleteLines(std::vector<std::string>* lines);

  int m_fd;
  std::string m_name;
  std::string m_fifoPath;  // empty unless a FIFO
  bool m_ownsFd;
  std::string m_partial;   // input after the last newline
};

}  // namespace uasim
}  // namespace siptrunk
