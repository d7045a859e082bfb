// Argument parsing and the checks on names, addresses, ports and counts.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tools/siptrunkctl/ctl.h"
#include "tools/siptrunkctl/text_format.h"

namespace siptrunk {
namespace ctl {
namespace {

const OptionSpec* FindSpec(const std::vector<OptionSpec>& specs, const std::string& name) {
  for (const auto& spec : specs) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs, ParsedArgs* parsed,
               std::string* error) {
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      parsed->positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      parsed->help = true;
      continue;
    }
    if (arg[1] != '-') {
      // "-1" and the like are words (a port or a name), not options.
      parsed->positional.push_back(arg);
      continue;
    }
    std::string name = arg.substr(2);
    std::string value;
    bool hasValue = false;
    const auto eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      hasValue = true;
    }
    const OptionSpec* spec = FindSpec(specs, name);
    if (spec == nullptr) {
      *error = "unknown option '--" + tools::PrintableWord(name) + "'";
      return false;
    }
    if (spec->takesValue && !hasValue) {
      if (i + 1 >= args.size()) {
        *error = "option '--" + name + "' needs a value";
        return false;
      }
      value = args[++i];
    } else if (!spec->takesValue && hasValue) {
      *error = "option '--" + name + "' takes no value";
      return false;
    }
    parsed->options[name] = value;
  }
  return true;
}

bool PrepareArgs(const Command& command, const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
                 size_t minWords, size_t maxWords, ParsedArgs* parsed, int* status) {
  std::string error;
  if (!ParseArgs(args, specs, parsed, &error)) {
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
