// Argument parsing (getopt_long) and the checks on names, addresses, ports and counts.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tools/siptrunkctl/ctl.h"
#include "tools/siptrunkctl/text_format.h"

namespace siptrunk {
namespace ctl {
namespace {

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool ParseArgs(const Command& command, const std::vector<std::string>& args, ParsedArgs* parsed,
               std::string* error) {
  // The command's table plus --help; a long option returns 0 with its index.
  std::vector<option> table;
  for (const option* o = command.options; o != nullptr && o->name != nullptr; ++o) table.push_back(*o);
  table.push_back({"help", no_argument, nullptr, 'h'});
  table.push_back({nullptr, 0, nullptr, 0});

  std::vector<std::string> words;
  words.push_back(CommandName(command));
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  optind = 0;  // glibc: start afresh (the program may parse more than once)
  opterr = 0;  // our own messages
  for (;;) {
    int index = -1;
    const int c = getopt_long(argc, argv.data(), ":h", table.data(), &index);
    if (c == -1) break;
    const std::string given = optind > 0 && optind <= argc ? argv[optind - 1] : "";
    if (c == 'h') {
      parsed->help = true;
    } else if (c == 0 && index >= 0) {
      parsed->options[table[static_cast<size_t>(index)].name] = optarg != nullptr ? optarg : "";
    } else if (c == ':') {
      *error = "option '" + tools::PrintableWord(given) + "' needs a value";
      return false;
    } else {
      // A known option with "=value" that takes none, a prefix of several, or an unknown one.
      const std::string name = given.compare(0, 2, "--") == 0 ? given.substr(2, given.find('=') - 2) : "";
      size_t prefixOf = 0;
      for (const option& o : table) {
        if (o.name == nullptr || name.empty()) continue;
        if (name == o.name && o.has_arg == no_argument && given.find('=') != std::string::npos) {
          *error = "option '--" + name + "' takes no value";
          return false;
        }
        prefixOf += std::string(o.name).compare(0, name.size(), name) == 0 ? 1 : 0;
      }
      if (prefixOf > 1) {
        *error = "option '--" + tools::PrintableWord(name) + "' is ambiguous";
        return false;
      }
      *error = optopt != 0 && optopt != '?' ? std::string("unknown option '-") + static_cast<char>(optopt) + "'"
                                            : "unknown option '" + tools::PrintableWord(given) + "'";
      return false;
    }
  }
  for (int i = optind; i < argc; ++i) parsed->positional.push_back(argv[static_cast<size_t>(i)]);
  return true;
}

bool PrepareArgs(const Command& command, const std::vector<std::string>& args, size_t minWords, size_t maxWords,
                 ParsedArgs* parsed, int* status) {
  std::string error;
  if (!ParseArgs(command, args, parsed, &error)) {
    *status = UsageError(command, error);
    return false;
  }
  if (parsed->help) {
    PrintCommandHelp(command);
    *status = kExitOk;
    return false;
  }
  const size_t n = parsed->positional.size();
  if (n < minWords || n > maxWords) {
    *status = UsageError(command, n < minWords ? "missing arguments" : "too many arguments");
    return false;
  }
  return true;
}

std::string Quoted(const std::string& name) { return "'" + tools::PrintableWord(name) + "'"; }

bool CheckName(const std::string& what, const std::string& value, std::string* error) {
  if (value.empty()) {
    *error = what + " must not be empty";
    return false;
  }
  if (value.find('\0') != std::string::npos) {
    *error = what + " must not hold a NUL byte";
    return false;
  }
  return true;
}

bool CheckIPv4(const std::string& what, const std::string& value, std::string* error) {
  // Exactly four decimal parts of 0..255, at most three digits each, no
  // leading zeros (they would read as octal elsewhere), nothing else.
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    const size_t end = part < 3 ? value.find('.', pos) : value.size();
    const std::string digits = end == std::string::npos ? std::string() : value.substr(pos, end - pos);
    const bool ok = AllDigits(digits) && digits.size() <= 3 && (digits.size() == 1 || digits[0] != '0') &&
                    std::atoi(digits.c_str()) <= 255;
    if (!ok) {
      *error = what + " '" + tools::PrintableWord(value) + "' is not a dotted IPv4 address (like 192.0.2.1)";
      return false;
    }
    pos = end + 1;
  }
  return true;
}

bool CheckPort(const std::string& what, const std::string& value, std::string* error) {
  const bool ok = AllDigits(value) && value.size() <= 5 && std::atol(value.c_str()) >= 1 &&
                  std::atol(value.c_str()) <= 65535 && value[0] != '0';
  if (!ok) {
    *error = what + " '" + tools::PrintableWord(value) + "' is not a port number (1 to 65535)";
    return false;
  }
  return true;
}

bool ParseCount(const std::string& what, const std::string& value, unsigned long* count, std::string* error) {
  errno = 0;
  char* end = nullptr;
  const unsigned long n = AllDigits(value) ? std::strtoul(value.c_str(), &end, 10) : 0;
  if (!AllDigits(value) || errno != 0 || n == 0) {
    *error = what + " '" + tools::PrintableWord(value) + "' is not a positive whole number";
    return false;
  }
  *count = n;
  return true;
}

}  // namespace ctl
}  // namespace siptrunk
