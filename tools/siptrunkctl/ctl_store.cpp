// Opening and reading the store, with the program's diagnostics.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "platform/link_codec.h"
#include "platform/paths.h"
#include "tools/siptrunkctl/ctl.h"

namespace siptrunk {
namespace ctl {
namespace {

std::unique_ptr<StoreAdmin> OpenStore(const Command& command, bool create) {
  const std::string dir = StateDirectory();
  const std::string path = StorePath();
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "%s: the store directory %s does not exist (set STATE_DIRECTORY)\n",
                 CommandName(command).c_str(), dir.c_str());
    return nullptr;
  }
  if (!create && stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "%s: there is no store at %s yet (nothing has been configured)\n",
                 CommandName(command).c_str(), path.c_str());
    return nullptr;
  }
  std::string error;
  std::unique_ptr<StoreAdmin> store = StoreAdmin::Open(path, create, &error);
  if (!store) {
    std::fprintf(stderr, "%s: cannot open the store %s: %s\n", CommandName(command).c_str(), path.c_str(),
                 error.c_str());
  }
  return store;
}

}  // namespace

std::unique_ptr<StoreAdmin> OpenStoreForEdit(const Command& command) { return OpenStore(command, true); }
std::unique_ptr<StoreAdmin> OpenStoreForRead(const Command& command) { return OpenStore(command, false); }

int StoreFailure(const Command& command, const std::string& what, const std::string& error) {
  std::fprintf(stderr, "%s: %s: %s\n", CommandName(command).c_str(), what.c_str(), error.c_str());
  return kExitFailure;
}

bool ReadStore(const Command& command, StoreAdmin* store, StoreSnapshot* snapshot) {
  std::string error;
  if (store->Read(snapshot, &error)) return true;
  StoreFailure(command, "cannot read the store " + StorePath(), error);
  return false;
}

int RunDeleteNames(const Command& command, const std::vector<std::string>& args, const DeleteKind& kind) {
  ParsedArgs parsed;
  int status = kExitOk;
  if (!PrepareArgs(command, args, 1, SIZE_MAX, &parsed, &status)) return status;
  std::vector<std::string> names;
  std::string error;
  for (const auto& name : parsed.positional) {
    if (!CheckName("a trunk name", name, &error)) return UsageError(command, error);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  // The message names them all after its type: the agent takes at most kMaxUpdateItems.
  if (names.size() + 1 > kMaxUpdateItems) {
    return UsageError(command, "at most " + std::to_string(kMaxUpdateItems - 1) + " names at once");
  }
  auto store = OpenStoreForEdit(command);
  if (!store) return kExitFailure;
  StoreSnapshot snapshot;
  if (!ReadStore(command, store.get(), &snapshot)) return kExitFailure;
  for (const auto& name : names) {
    if (!kind.exists(snapshot, name)) {
      return StoreFailure(command, "cannot delete",
                          std::string("there is no ") + kind.rowDescription + " named " + Quoted(name) +
                              " (nothing deleted)");
    }
  }
  // Each deletion is its own transaction; the agent hears of those that were made.
  std::list<std::string> message = {kind.messageType};
  int result = kExitOk;
  for (const auto& name : names) {
    if (!((*store).*kind.remove)(name, &error)) {
      result = StoreFailure(command, "cannot delete " + Quoted(name), error);
      break;
    }
    message.push_back(name);
  }
  if (message.size() == 1) return result;
  const int sent = SendToAgent(command, message, true);
  return result != kExitOk ? result : sent;
}

}  // namespace ctl
}  // namespace siptrunk
