#include "tools/siptrunkctl/ua_status.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace siptrunk {
namespace ctl {
namespace {

constexpr size_t kMaxFile = 4 * 1024 * 1024;  // 1,000s of entries fit easily

// One field: \xHH stands for the byte; any other backslash is malformed.
bool Unescape(const std::string& in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      *out += in[i];
      continue;
    }
    if (i + 3 >= in.size()) return false;
    if (in[i + 1] != 'x' || !std::isxdigit(static_cast<unsigned char>(in[i + 2])) ||
        !std::isxdigit(static_cast<unsigned char>(in[i + 3]))) {
      return false;
    }
    *out += static_cast<char>(std::stoi(in.substr(i + 2, 2), nullptr, 16));
    i += 3;
  }
  return true;
}

bool Number(const std::string& text, int64_t* out) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *out = std::stoll(text);
  return true;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    out.push_back(line.substr(start, tab - start));
  }
  out.push_back(line.substr(start));
  return out;
}

// One entry line; empty when it is fine, else what is wrong.
std::string ParseEntry(const std::vector<std::string>& f, UaStatusEntry* e) {
  e->trunk = f[0] == "trunk";
  if (f.size() != 8) return "wrong number of fields";
  if (!Unescape(f[1], &e->user) || !Unescape(f[2], &e->where)) return "bad escape";
  int64_t flag = 0;
  const bool ok = e->trunk
      ? Number(f[3], &flag) && flag <= 1 && Number(f[4], &e->code) && Unescape(f[5], &e->reason) &&
            Number(f[6], &e->expires) && Number(f[7], &e->nextAttempt)
      : Number(f[3], &flag) && flag <= 65535 && Unescape(f[4], &e->device) && Number(f[5], &e->code) &&
            Unescape(f[6], &e->reason) && Number(f[7], &e->expires);
  if (!ok) return "bad field";
  if (e->trunk) {
    e->registered = flag == 1;
  } else if (!e->where.empty()) {
    e->port = f[3];
  }
  return std::string();
}

}  // namespace

UaStatus ReadUaStatus(const std::string& path) {
  UaStatus status;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (errno != ENOENT) status.error = path + ": " + std::strerror(errno);
    status.present = errno != ENOENT;
    return status;
  }
  status.present = true;
  std::string text(kMaxFile + 1, '\0');
  file.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(file.gcount()));
  if (text.size() > kMaxFile) {
    status.error = path + ": larger than " + std::to_string(kMaxFile) + " bytes";
    return status;
  }
  std::istringstream lines(text);
  std::string line;
  size_t number = 0;
  bool ended = false;
  while (std::getline(lines, line)) {
    ++number;
    const std::vector<std::string> f = Split(line);
    std::string why;
    if (ended) {
      why = "text after the end line";
    } else if (number == 1) {
      if (line != "siptrunk-ua status 1") why = "not a status file of version 1";
    } else if (f[0] == "written") {
      if (f.size() != 2 || !Number(f[1], &status.written)) why = "bad written line";
    } else if (f[0] == "trunk" || f[0] == "slave") {
      UaStatusEntry e;
      why = ParseEntry(f, &e);
      if (why.empty()) status.entries.push_back(std::move(e));
    } else if (line == "end") {
      ended = true;
    } else {
      why = "unknown line";
    }
    if (!why.empty()) {
      status.error = path + " line " + std::to_string(number) + ": " + why;
      status.entries.clear();
      return status;
    }
  }
  if (!ended) status.error = path + ": no end line (cut short)";
  if (!ended) status.entries.clear();
  return status;
}

}  // namespace ctl
}  // namespace siptrunk
