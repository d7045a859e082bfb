// Opening and reading the store, with the program's diagnostics.
#include <sys/stat.h>

#include <cstdio>

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

}  // namespace ctl
}  // namespace siptrunk
