// store_commit_bench: the bare cost of one committed store write.
//
// Opens a fresh store through siptrunk::OpenStoreDatabase (the project's
// schema and connection settings: WAL, synchronous=FULL, busy timeout) in the
// directory given, then commits COUNT single-row INSERTs into
// registered_slaves, each its own BEGIN IMMEDIATE ... COMMIT, the way the
// agent commits a registration. Prints the per-commit time (median, p90, p99,
// max) and commits per second, and one line "RESULT ..." for scripts.
//
// Usage: store_commit_bench DIRECTORY [COUNT]   (COUNT 1..1000000, default 500)
// The store file (store-commit-bench.db and its -wal/-shm) is removed before
// and after the run. The directory should be on the file system whose cost is
// wanted (not tmpfs, unless that is the question); like the agent's store, a
// missing last level of it is created.
//
// Single-threaded.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/store_schema.h"
#include "platform/store_statement.h"

namespace {

constexpr unsigned long kDefaultCount = 500;
constexpr unsigned long kMaxCount = 1000000;
constexpr char kStoreName[] = "store-commit-bench.db";

void RemoveStoreFiles(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
}

bool ParseCount(const char* text, unsigned long* count) {
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value == 0 || value > kMaxCount) return false;
  *count = value;
  return true;
}

double Percentile(const std::vector<double>& sorted, double fraction) {
  const size_t index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

// One registration row, committed on its own. Returns false with *error.
bool CommitOneRow(sqlite3* db, unsigned long i, std::string* error) {
  const int rc = siptrunk::StoreWriteTransaction(db, error, [&]() {
    siptrunk::StoreStatement insert(db,
                                    "INSERT INTO registered_slaves (user, password, address, port, since, refreshed) "
                                    "VALUES (?1, ?2, ?3, ?4, ?5, ?5)");
    const int stepRc = insert.Bind(1, "bench" + std::to_string(i))
                       .Bind(2, std::string("secret"))
                       .Bind(3, "198.51.100." + std::to_string(1 + i % 250))
                       .Bind(4, std::to_string(5060 + i / 250))
                       .Bind(5, static_cast<int64_t>(time(nullptr)))
                       .Run();
    if (stepRc != SQLITE_OK && error->empty()) *error = insert.Error();
    return stepRc;
  });
  return rc == SQLITE_OK;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || std::string(argv[1]) == "--help") {
    std::fprintf(stderr, "usage: %s DIRECTORY [COUNT]\n  commits COUNT (default %lu) single-row INSERTs, "
                 "one transaction each, into a fresh store in DIRECTORY\n", argv[0], kDefaultCount);
    return argc == 2 && std::string(argv[1]) == "--help" ? 0 : 2;
  }
  unsigned long count = kDefaultCount;
  if (argc == 3 && !ParseCount(argv[2], &count)) {
    std::fprintf(stderr, "%s: COUNT must be a whole number from 1 to %lu, not '%s'\n", argv[0], kMaxCount, argv[2]);
    return 2;
  }
  const std::string path = std::string(argv[1]) + "/" + kStoreName;
  RemoveStoreFiles(path);

  std::string error;
  sqlite3* db = siptrunk::OpenStoreDatabase(path, true, &error);
  if (db == nullptr) {
    std::fprintf(stderr, "%s: cannot open %s: %s\n", argv[0], path.c_str(), error.c_str());
    return 1;
  }

  std::vector<double> commitMs;
  commitMs.reserve(count);
  const auto start = std::chrono::steady_clock::now();
  for (unsigned long i = 0; i < count; ++i) {
    const auto before = std::chrono::steady_clock::now();
    if (!CommitOneRow(db, i, &error)) {
      std::fprintf(stderr, "%s: commit %lu failed: %s\n", argv[0], i + 1, error.c_str());
      sqlite3_close(db);
      RemoveStoreFiles(path);
      return 1;
    }
    commitMs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before).count());
  }
  const double elapsedS = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sqlite3_close(db);
  RemoveStoreFiles(path);

  std::sort(commitMs.begin(), commitMs.end());
  const double rate = static_cast<double>(count) / elapsedS;
  std::printf("bare store commit (WAL, synchronous=FULL), %lu single-row transactions in %s\n", count, argv[1]);
  std::printf("  per commit: median %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms\n", Percentile(commitMs, 0.5),
              Percentile(commitMs, 0.9), Percentile(commitMs, 0.99), commitMs.back());
  std::printf("  %.1f commits/s (%lu in %.3f s)\n", rate, count, elapsedS);
  std::printf("RESULT commits=%lu elapsed_s=%.6f commits_per_s=%.3f median_ms=%.4f p99_ms=%.4f\n", count, elapsedS,
              rate, Percentile(commitMs, 0.5), Percentile(commitMs, 0.99));
  return 0;
}
