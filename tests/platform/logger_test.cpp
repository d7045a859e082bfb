// The trace log on real files in a temporary logs directory. Its lock is
// checked where the agent's threads trace at once: the system tests under
// ThreadSanitizer (make test-tsan).
#include <regex>

#include "platform/diag.h"
#include "platform/logger.h"
#include "tests/platform/link_test_support.h"

namespace {

using namespace linktest;

const char kName[] = "trace-test.log";

// The file's lines "YYYY-MM-DDTHH:MM:SS.mmmZ <level> <text>" as "<level> <text>" (or "no prefix: ...").
// Only the prefix is matched: std::regex recurses per character.
std::vector<std::string> Bodies(const std::string& path) {
  static const std::regex kPrefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \d+ )");
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) {
    const bool prefixed = std::regex_search(line.substr(0, 48), kPrefix);
    lines.push_back(prefixed ? line.substr(25) : "no prefix: " + line.substr(0, 80));
  }
  return lines;
}

class LoggerTest : public ::testing::Test {
 protected:
  ScopedRuntimeDirectory logs{"LOGS_DIRECTORY"};
  const std::string m_dir = logs.Path(), m_path = m_dir + "/" + kName;
};

TEST_F(LoggerTest, LinesCarryTimestampLevelAndTheCallersTextInAPrivateFile) {
  // A file left with mode 0644 (say, by an older installation) is narrowed and appended to.
  std::ofstream(m_path, std::ios::binary) << "older line\n";
  ASSERT_EQ(chmod(m_path.c_str(), 0644), 0);
  const std::string hugeText(100000, 'y');
  {
    CSIPTrunkLogger logger(kName);
    logger.TRACE(0, "ERROR: no line end %s %d", "here", 5060);
    logger.TRACE(3, "%s\n", hugeText.c_str());
    siptrunk::Diag("regulator says %d\n", 42);  // the platform layer's diagnostics, while the log exists
  }
  siptrunk::Diag("after the logger is gone\n");  // must not touch the destroyed logger
  EXPECT_EQ(ModeOf(m_path), 0600u);
  const auto lines = Bodies(m_path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0] + "|" + lines[1] + "|" + lines[3], "no prefix: older line|0 ERROR: no line end here 5060|"
                                                         "3 ERROR: regulator says 42");
  // An enormous line is cut, marked, and still one line.
  EXPECT_TRUE(lines[2].size() < 20000 && lines[2].compare(0, 1002, "3 " + hugeText.substr(0, 1000)) == 0 &&
              lines[2].find("truncated") != std::string::npos);
}

TEST_F(LoggerTest, RotationKeepsOneOlderFileAndBoundsTheSize) {
  constexpr size_t kBound = 4096;
  {
    CSIPTrunkLogger logger(kName);
    logger.SetRotateBytes(kBound);
    for (int i = 0; i < 500; ++i) logger.TRACE(3, "INFO: line %04d %s\n", i, std::string(60, '-').c_str());
  }
  const std::string older = m_path + ".1";
  const size_t currentSize = ReadFile(m_path).size(), previousSize = ReadFile(older).size();
  EXPECT_TRUE(!Exists(m_path + ".2") && ModeOf(older) == 0600u && currentSize <= kBound && previousSize <= kBound &&
              previousSize > kBound / 2);
  // No line lost at the seam: the older file ends right before the current one begins.
  const auto number = [](const std::string& line) { return std::stoi(line.substr(line.find("line ") + 5, 4)); };
  const std::vector<std::string> now = Bodies(m_path), before = Bodies(older);
  ASSERT_FALSE(now.empty() || before.empty());
  EXPECT_TRUE(number(now.back()) == 499 && number(before.back()) + 1 == number(now.front())) << before.back();
}

// Trace lines hold passwords: they never go to standard error (the journal),
// whether the directory is missing or a symbolic link stands at the log path
// or its ".1" (never written through).
TEST_F(LoggerTest, MissingDirectoryOrSymbolicLinksKeepLinesOffStandardError) {
  setenv("LOGS_DIRECTORY", (m_dir + "/missing").c_str(), 1);
  const std::string noted = CaptureStderr(m_dir, [&] { CSIPTrunkLogger(kName).TRACE(3, "INFO: pw %s\n", "hunter2"); });
  EXPECT_TRUE(!noted.empty() && noted.find("hunter2") == std::string::npos) << noted;
  setenv("LOGS_DIRECTORY", m_dir.c_str(), 1);
  for (const std::string suffix : {"", ".1"}) {
    const std::string target = m_dir + "/target" + suffix;
    ASSERT_EQ(symlink(target.c_str(), (m_path + suffix).c_str()), 0);
    const std::string captured = CaptureStderr(m_dir, [&] {
      CSIPTrunkLogger logger(kName);
      logger.SetRotateBytes(200);
      for (int i = 0; i < 10; ++i) logger.TRACE(3, "INFO: secret line %d of some length\n", i);
    });
    EXPECT_TRUE(!Exists(target) && S_ISLNK(StatOf(m_path + suffix).st_mode)) << suffix;
    EXPECT_TRUE(!captured.empty() && captured.find("secret line") == std::string::npos) << captured;
    unlink((m_path + suffix).c_str());
    unlink(m_path.c_str());
  }
}

}  // namespace
