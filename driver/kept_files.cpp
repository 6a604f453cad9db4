// The files that no save of a directory run may replace: its inputs and the
// results it has already written, by path and by file identity. Both tables
// are sorted vectors whose room is made before the first file, so that
// keeping a file allocates nothing.

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/platform.h"

namespace {

// The kept paths, by address (they live in fileList), sorted by their text.
std::vector<const std::string*> pathsNotToReplace;
// The files behind them, by identity: on a disk that ignores letter case,
// or through a link, another spelling names the same file.
std::vector<FileIdentity> filesNotToReplace;

bool pathBefore(const std::string* kept, const char* path) { return std::strcmp(kept->c_str(), path) < 0; }

// Puts value in its sorted place, in the room that prepareKeptFiles made.
template <typename Value, typename Before, typename Key>
void insertSorted(std::vector<Value>* table, const Value& value, const Key& key, Before before) {
  table->insert(std::lower_bound(table->begin(), table->end(), key, before), value);
}

}  // namespace

void prepareKeptFiles(std::size_t files) {
  pathsNotToReplace.reserve(files);
  filesNotToReplace.reserve(files);
}

void keepFromReplacement(const std::string& path) {
  insertSorted(&pathsNotToReplace, &path, path.c_str(), pathBefore);
  FileIdentity identity{};
  // An identity that the system cannot tell, for want of memory too (the
  // Windows layer converts the path), is not kept; the path still is.
  bool known = false;
  try {
    known = platformIdentityOf(path.c_str(), &identity);
  } catch (const std::bad_alloc&) {
  }
  if (known) insertSorted(&filesNotToReplace, identity, identity, std::less<FileIdentity>());
}

bool mayReplace(const char* outputPath) {
  const auto path = std::lower_bound(pathsNotToReplace.begin(), pathsNotToReplace.end(), outputPath, pathBefore);
  if (path != pathsNotToReplace.end() && std::strcmp((*path)->c_str(), outputPath) == 0) return false;
  FileIdentity identity{};
  return filesNotToReplace.empty() || !platformIdentityOf(outputPath, &identity) ||
         !std::binary_search(filesNotToReplace.begin(), filesNotToReplace.end(), identity);
}

void forgetKeptFiles() {
  std::vector<const std::string*>().swap(pathsNotToReplace);
  std::vector<FileIdentity>().swap(filesNotToReplace);
}
