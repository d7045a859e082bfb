#include "tools/uasim/packet_text.h"

#include <cstdio>

#include "tools/siptrunkctl/text_format.h"

namespace siptrunk {
namespace uasim {
namespace {

std::string Word(const std::string& value) { return tools::PrintableWord(value, "{}\""); }

std::string Braced(const CallParams& account) {
  if (account == CallParams()) return "{}";
  return "{" + AccountText(account) + "}";
}

}  // namespace

std::string AccountText(const CallParams& a) {
  char flags[16];
  std::snprintf(flags, sizeof flags, "0x%x", a.nFlags);
  std::string text = "user=" + Word(a.sUserName) + " password=" + Word(a.sUserPasswd) + " host=" + Word(a.sHostName) +
                     " addr=" + Word(a.sHostAddr) + " port=" + Word(a.sHostPort) + " flags=" + flags;
  const std::string* reserved[] = {&a.sReserved1, &a.sReserved2, &a.sReserved3, &a.sReserved4, &a.sReserved5};
  for (int i = 0; i < 5; ++i) {
    if (!reserved[i]->empty()) text += " r" + std::to_string(i + 1) + "=" + Word(*reserved[i]);
  }
  return text;
}

std::vector<std::string> MessageLines(const UaMessage& m) {
  const auto bit = [](bool b) { return b ? "1" : "0"; };
  switch (m.type) {
    case UaMessageType::kHello:
      return {"HELLO version=" + std::to_string(m.version)};
    case UaMessageType::kRequestUsersList:
      return {"REQUEST_USERS_LIST"};
    case UaMessageType::kConfirmUserState:
      return {std::string("CONFIRM_USER_STATE registered=") + bit(m.registered) + " error=" + std::to_string(m.error) +
              " master=" + bit(m.masterList) + " account=" + Braced(m.account)};
    case UaMessageType::kSetUsersList: {
      std::vector<std::string> lines;
      lines.push_back(std::string("SET_USERS_LIST active=") + bit(m.active) + " master=" + bit(m.masterList) +
                      " count=" + std::to_string(m.list.size()));
      for (const auto& account : m.list) lines.push_back("  " + AccountText(account));
      return lines;
    }
    case UaMessageType::kChangeUserParams:
      return {std::string("CHANGE_USER_PARAMS master=") + bit(m.masterList) + " old=" + Braced(m.oldParams) +
              " new=" + Braced(m.newParams)};
  }
  return {"UNKNOWN"};
}

std::string RawItemsText(const std::vector<std::string>& items) {
  std::string text = "RAW";
  for (const auto& item : items) text += " \"" + Word(item) + "\"";
  return text;
}

}  // namespace uasim
}  // namespace siptrunk
