// The trace log on real files in a temporary logs directory.
#include <regex>

#include "platform/diag.h"
#include "platform/logger.h"
#include "tests/platform/link_test_support.h"

namespace {

using linktest::CaptureStderr;
using linktest::Exists;
using linktest::ModeOf;
using linktest::ReadFile;

const char kName[] = "trace-test.log";

// A trace line is "YYYY-MM-DDTHH:MM:SS.mmmZ <level> <text>": "<level> <text>",
// or what is wrong. Only the prefix is matched (std::regex recurses per character).
std::string Body(const std::string& line) {
  static const std::regex kPrefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \d+ )");
  return std::regex_search(line.substr(0, 48), kPrefix) ? line.substr(25) : "no prefix: " + line.substr(0, 80);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class LoggerTest : public ::testing::Test {
 protected:
  std::string LogPath() const { return m_dir + "/" + kName; }
  linktest::ScopedRuntimeDirectory logs{"LOGS_DIRECTORY"};
  const std::string m_dir = logs.Path();
};

TEST_F(LoggerTest, LinesCarryTimestampLevelAndTheCallersTextInAPrivateFile) {
  // A file left with mode 0644 (say, by an older installation) is narrowed and appended to.
  std::ofstream(LogPath(), std::ios::binary) << "older line\n";
  ASSERT_EQ(chmod(LogPath().c_str(), 0644), 0);
  const std::string hugeText(100000, 'y');
  {
    CSIPTrunkLogger logger(kName);
    logger.TRACE(3, "INFO: user %s password %s port %d\n", "alice", "s3cret", 5060);
    logger.TRACE(0, "ERROR: no line end %s", "here");
    logger.TRACE(3, "%s\n", hugeText.c_str());
    logger.TRACE(3, "%s", "");
    siptrunk::Diag("regulator says %d\n", 42);  // the platform layer's diagnostics, while the log exists
  }
  siptrunk::Diag("after the logger is gone\n");  // must not touch the destroyed logger
  EXPECT_EQ(ModeOf(LogPath()), 0600u);

  const auto lines = Lines(ReadFile(LogPath()));
  ASSERT_EQ(lines.size(), 6u);
  // An enormous line is cut, marked, and still one line.
  const std::string huge = Body(lines[3]);
  EXPECT_TRUE(huge.size() < 20000 && huge.compare(0, 1002, "3 " + hugeText.substr(0, 1000)) == 0 &&
              huge.find("truncated") != std::string::npos)
      << huge.substr(0, 80);
  EXPECT_EQ(lines[0] + "|" + Body(lines[1]) + "|" + Body(lines[2]) + "|" + Body(lines[4]) + "|" + Body(lines[5]),
            "older line|3 INFO: user alice password s3cret port 5060|0 ERROR: no line end here|3 |"
            "3 ERROR: regulator says 42");
}

TEST_F(LoggerTest, LinesOfConcurrentThreadsNeverInterleave) {
  constexpr int kThreads = 4, kLinesEach = 400;
  constexpr size_t kPayload = 6000;  // longer than a pipe buffer's atomic write and the stack buffer
  {
    CSIPTrunkLogger logger(kName);
    logger.SetRotateBytes(64u * 1024 * 1024);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&logger, t] {
        const std::string payload(kPayload, static_cast<char>('a' + t));
        for (int i = 0; i < kLinesEach; ++i) logger.TRACE(3, "T%d %d %s\n", t, i, payload.c_str());
      });
    }
    for (auto& w : writers) w.join();
  }
  const auto lines = Lines(ReadFile(LogPath()));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
  std::vector<int> nextOf(kThreads, 0);
  for (const auto& line : lines) {
    const std::string body = Body(line);
    int t = -1, index = -1, consumed = 0;
    ASSERT_EQ(std::sscanf(body.c_str(), "3 T%d %d %n", &t, &index, &consumed), 2) << body.substr(0, 80);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(index, nextOf[t]++) << "lines of one thread keep their order";
    ASSERT_EQ(body.substr(static_cast<size_t>(consumed)), std::string(kPayload, static_cast<char>('a' + t)));
  }
}

TEST_F(LoggerTest, RotationKeepsOneOlderFileAndBoundsTheSize) {
  constexpr size_t kBound = 4096;
  {
    CSIPTrunkLogger logger(kName);
    logger.SetRotateBytes(kBound);
    for (int i = 0; i < 500; ++i) logger.TRACE(3, "INFO: line %04d %s\n", i, std::string(60, '-').c_str());
  }
  const std::string older = LogPath() + ".1";
  EXPECT_FALSE(Exists(LogPath() + ".2"));
  EXPECT_TRUE(ModeOf(older) == 0600u && ModeOf(LogPath()) == 0600u);
  const std::string current = ReadFile(LogPath()), previous = ReadFile(older);
  EXPECT_TRUE(current.size() <= kBound && previous.size() <= kBound && previous.size() > kBound / 2)
      << current.size() << " " << previous.size();

  // No line lost at the seam: the older file ends right before the current one begins.
  const auto number = [](const std::string& line) { return std::stoi(line.substr(line.find("line ") + 5, 4)); };
  const std::vector<std::string> now = Lines(current), before = Lines(previous);
  ASSERT_FALSE(now.empty() || before.empty());
  EXPECT_TRUE(number(now.back()) == 499 && number(before.back()) + 1 == number(now.front())) << before.back();
}

TEST_F(LoggerTest, MissingDirectoryDropsLinesUntilItAppears) {
  const std::string missing = m_dir + "/later";
  setenv("LOGS_DIRECTORY", missing.c_str(), 1);
  CSIPTrunkLogger logger(kName);
  const std::string captured = CaptureStderr(m_dir, [&] { logger.TRACE(3, "INFO: #UserPswd: %s\n", "hunter2"); });
  // Trace lines hold passwords: they never go to standard error (the journal).
  EXPECT_EQ(captured.find("hunter2"), std::string::npos) << captured;

  ASSERT_EQ(mkdir(missing.c_str(), 0700), 0);
  // The logger tries again at a later line, at most once a second.
  const std::string path = missing + "/" + kName;
  std::string notes;
  for (int attempt = 0; attempt < 100 && !Exists(path); ++attempt) {
    notes += CaptureStderr(m_dir, [&] { logger.TRACE(3, "INFO: waiting %d\n", attempt); });
    usleep(50 * 1000);
  }
  ASSERT_TRUE(Exists(path));
  EXPECT_NE(notes.find("lines were dropped"), std::string::npos) << notes;
  logger.TRACE(3, "INFO: after the directory\n");
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_NE(ReadFile(path).find("INFO: after the directory\n"), std::string::npos);
}

// A link at the log path or its ".1" is never written through nor replaced; the refusal is noted.
TEST_F(LoggerTest, SymbolicLinksAtTheLogPathsAreRefused) {
  for (const std::string suffix : {"", ".1"}) {
    SCOPED_TRACE("link at the log path" + suffix);
    const std::string target = m_dir + "/target" + suffix;
    ASSERT_EQ(symlink(target.c_str(), (LogPath() + suffix).c_str()), 0);
    const std::string captured = CaptureStderr(m_dir, [&] {
      CSIPTrunkLogger logger(kName);
      logger.SetRotateBytes(200);
      for (int i = 0; i < 10; ++i) logger.TRACE(3, "INFO: secret line %d of some length\n", i);
    });
    EXPECT_TRUE(!Exists(target) && S_ISLNK(linktest::StatOf(LogPath() + suffix).st_mode));
    EXPECT_NE(captured.find("is a symbolic link"), std::string::npos) << captured;
    EXPECT_EQ(captured.find("secret line"), std::string::npos) << captured;
    unlink((LogPath() + suffix).c_str());
    unlink(LogPath().c_str());
  }
}

}  // namespace
