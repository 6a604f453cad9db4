// The files that no save of a directory run may replace: its inputs and the
// results it has already written, by path and by file identity.

#include <set>
#include <string>

#include "driver/driver.h"
#include "platform/platform.h"

namespace {

std::set<std::string> pathsNotToReplace;
// The files behind pathsNotToReplace, by identity: on a disk that ignores
// letter case, or through a link, another spelling names the same file.
std::set<FileIdentity> filesNotToReplace;

}  // namespace

void keepFromReplacement(const std::string& path) {
  pathsNotToReplace.insert(path);
  FileIdentity identity{};
  if (platformIdentityOf(path.c_str(), &identity)) filesNotToReplace.insert(identity);
}

bool mayReplace(const char* outputPath) {
  if (pathsNotToReplace.count(outputPath) != 0) return false;
  FileIdentity identity{};
  return filesNotToReplace.empty() || !platformIdentityOf(outputPath, &identity) ||
         filesNotToReplace.count(identity) == 0;
}

void forgetKeptFiles() {
  pathsNotToReplace.clear();
  filesNotToReplace.clear();
}
