#include "tools/uasim/sim_command.h"

namespace siptrunk {
namespace uasim {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes the backslash escape at line[at]; *used is its length.
bool DecodeEscape(const std::string& line, size_t at, char* decoded, size_t* used, std::string* error) {
  if (at + 1 >= line.size()) {
    *error = "a backslash ends the line";
    return false;
  }
  const char e = line[at + 1];
  *used = 2;
  switch (e) {
    case '\\': *decoded = '\\'; return true;
    case '"': *decoded = '"'; return true;
    case '\'': *decoded = '\''; return true;
    case ' ': *decoded = ' '; return true;
    case 'n': *decoded = '\n'; return true;
    case 't': *decoded = '\t'; return true;
    case 'r': *decoded = '\r'; return true;
    case 'x': {
      const int hi = at + 2 < line.size() ? HexValue(line[at + 2]) : -1;
      const int lo = at + 3 < line.size() ? HexValue(line[at + 3]) : -1;
      if (hi < 0 || lo < 0) {
        *error = "\\x needs two hex digits";
        return false;
      }
      *decoded = static_cast<char>(hi * 16 + lo);
      *used = 4;
      return true;
    }
    default:
      *error = std::string("unknown escape \\") + e;
      return false;
  }
}

bool ParseRegistered(const std::string& text, bool* value, std::string* error) {
  if (ParseBool01(text, value)) return true;
  *error = "REGISTERED must be 0 or 1, not '" + text + "'";
  return false;
}

bool ParseErrorCode(const std::string& text, uint32_t* value, std::string* error) {
  if (ParseDecimalU32(text, value)) return true;
  *error = "ERROR must be a number from 0 to 4294967295, not '" + text + "'";
  return false;
}

bool ParseConfirm(const std::vector<std::string>& w, SimCommand* command, std::string* error) {
  UaMessage& m = command->message;
  m.type = UaMessageType::kConfirmUserState;
  if (w.size() >= 2 && w[1] == "master") {
    if (w.size() != 8 && w.size() != 9) {
      *error = "usage: confirm master USER PASSWORD ADDRESS PORT REGISTERED ERROR [HOSTNAME]";
      return false;
    }
    command->kind = SimCommand::Kind::kConfirmMaster;
    m.masterList = true;
    m.account.sUserName = w[2];
    m.account.sUserPasswd = w[3];
    m.account.sHostAddr = w[4];
    m.account.sHostPort = w[5];
    if (w.size() == 9) m.account.sHostName = w[8];
    return ParseRegistered(w[6], &m.registered, error) && ParseErrorCode(w[7], &m.error, error);
  }
  if (w.size() >= 2 && w[1] == "slave") {
    if (w.size() != 7) {
      *error = "usage: confirm slave USER ADDRESS PORT REGISTERED ERROR";
      return false;
    }
    command->kind = SimCommand::Kind::kConfirmSlave;
    m.masterList = false;
    m.account.sUserName = w[2];
    m.account.sHostAddr = w[3];
    m.account.sHostPort = w[4];
    return ParseRegistered(w[5], &m.registered, error) && ParseErrorCode(w[6], &m.error, error);
  }
  *error = "usage: confirm master ... or confirm slave ...";
  return false;
}

}  // namespace

bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
  size_t i = 0;
  const size_t n = line.size();
  while (true) {
    while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= n) return true;
    std::string word;
    while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
      const char c = line[i];
      if (c == '\'') {
        const size_t close = line.find('\'', i + 1);
        if (close == std::string::npos) {
          *error = "unclosed single quote";
          return false;
        }
        word.append(line, i + 1, close - i - 1);
        i = close + 1;
        continue;
      }
      if (c == '"') {
        ++i;
        bool closed = false;
        while (i < n) {
          if (line[i] == '"') {
            closed = true;
            ++i;
            break;
          }
          if (line[i] == '\\') {
            size_t used = 0;
            char decoded = 0;
            if (!DecodeEscape(line, i, &decoded, &used, error)) return false;
            word += decoded;
            i += used;
          } else {
            word += line[i++];
          }
        }
        if (!closed) {
          *error = "unclosed double quote";
          return false;
        }
        continue;
      }
      if (c == '\\') {
        size_t used = 0;
        char decoded = 0;
        if (!DecodeEscape(line, i, &decoded, &used, error)) return false;
        word += decoded;
        i += used;
        continue;
      }
      word += c;
      ++i;
    }
    words->push_back(word);
  }
}

bool ParseCommand(const std::string& line, SimCommand* command, std::string* error) {
  *command = SimCommand();
  const size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos || line[first] == '#') return true;
  std::vector<std::string> w;
  if (!SplitWords(line, &w, error)) return false;
  if (w.empty()) return true;
  const std::string& verb = w[0];
  if (verb == "confirm") return ParseConfirm(w, command, error);
  if (verb == "sleep") {
    if (w.size() != 2 || !ParseDecimalU32(w[1], &command->sleepMs)) {
      *error = "usage: sleep MILLISECONDS";
      return false;
    }
    command->kind = SimCommand::Kind::kSleep;
    return true;
  }
  if (verb == "hello") {
    command->kind = SimCommand::Kind::kHello;
    command->message.type = UaMessageType::kHello;
    if (w.size() > 2 || (w.size() == 2 && !ParseDecimalU32(w[1], &command->message.version))) {
      *error = "usage: hello [VERSION]";
      return false;
    }
    return true;
  }
  if (verb == "request" || verb == "reconnect" || verb == "quit") {
    if (w.size() != 1) {
      *error = verb + " takes no arguments";
      return false;
    }
    command->kind = verb == "request" ? SimCommand::Kind::kRequest
                    : verb == "reconnect" ? SimCommand::Kind::kReconnect
                                          : SimCommand::Kind::kQuit;
    return true;
  }
  if (verb == "raw") {
    command->kind = SimCommand::Kind::kRaw;
    command->items.assign(w.begin() + 1, w.end());
    for (const auto& item : command->items) {
      if (item.find('\0') != std::string::npos) {
        *error = "an item cannot hold a NUL byte (use rawhex)";
        return false;
      }
    }
    return true;
  }
  if (verb == "rawhex") {
    command->kind = SimCommand::Kind::kRawHex;
    std::string hex;
    for (size_t k = 1; k < w.size(); ++k) hex += w[k];
    if (hex.size() % 2 != 0) {
      *error = "rawhex needs an even number of hex digits";
      return false;
    }
    for (size_t k = 0; k < hex.size(); k += 2) {
      const int hi = HexValue(hex[k]);
      const int lo = HexValue(hex[k + 1]);
      if (hi < 0 || lo < 0) {
        *error = "rawhex takes hex digits only";
        return false;
      }
      command->bytes += static_cast<char>(hi * 16 + lo);
    }
    return true;
  }
  *error = "unknown command '" + verb + "'";
  return false;
}

const char* CommandHelp() {
  return "Commands (one per line; blank lines and lines starting with # are skipped):\n"
         "  confirm master USER PASSWORD ADDRESS PORT REGISTERED ERROR [HOSTNAME]\n"
         "      a slave device registered (REGISTERED 1) or unregistered (0) on this\n"
         "      master with a SIP trunk account; ERROR is the registration error code\n"
         "  confirm slave USER ADDRESS PORT REGISTERED ERROR\n"
         "      the outcome of registering a trunk towards a master; password and host\n"
         "      name come from the held slave account of that user, if any\n"
         "  hello [VERSION]      send HELLO (default version 1)\n"
         "  request              send REQUEST_USERS_LIST\n"
         "  raw ITEM...          send the items as one packet, each NUL-ended\n"
         "  rawhex HEX...        send these exact bytes as one packet\n"
         "  sleep MS             wait MS milliseconds before the next command\n"
         "  reconnect            close the link and connect again\n"
         "  quit                 end the program\n"
         "Words are separated by blanks; \"...\" or '...' group, '' is an empty word;\n"
         "backslash escapes: \\\\ \\\" \\' \\n \\t \\r \\xNN.\n";
}

}  // namespace uasim
}  // namespace siptrunk
