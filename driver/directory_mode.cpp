// Directory batch mode: every input file of one directory in one run, each
// result written beside its input under the "_s.tga" name.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

#include "driver/driver.h"
#include "platform/console.h"
#include "platform/platform.h"

FileNode* fileList = nullptr;
std::uint32_t batchStartTicks = 0;

namespace {

const char* const kResultSuffix = "_s.tga";
constexpr std::size_t kReplacedEnding = 4;  // the ".tga" cut off an input path
constexpr int kFailuresNamed = 3;           // the failed files the closing error line names

// Whether a name ends in "_s.tga" without regard to case, and is longer than
// that ending: such files are results of an earlier run. A name of exactly
// "_s.tga" is an ordinary input.
bool isEarlierResult(const std::string& name) {
  const std::size_t suffixLength = 6;
  if (name.size() <= suffixLength) return false;
  const char* ending = name.c_str() + name.size() - suffixLength;
  for (std::size_t i = 0; i < suffixLength; ++i) {
    char c = ending[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kResultSuffix[i]) return false;
  }
  return true;
}

}  // namespace

void releaseFileList() {
  while (fileList != nullptr) {
    FileNode* next = fileList->next;
    delete fileList;
    fileList = next;
  }
}

std::string resultPathFor(const std::string& inputPath) {
  const std::size_t kept = inputPath.size() > kReplacedEnding ? inputPath.size() - kReplacedEnding : 0;
  return inputPath.substr(0, kept) + kResultSuffix;
}

ListingStatus scanDirectory(const std::string& directory, FailureReason* why) {
  const TgaListing listing = platformListTgaEntries(directory);
  for (const DirectoryEntry& entry : listing.entries) {
    if (!entry.isRegularFile || isEarlierResult(entry.name)) continue;
    const std::string path = directory + platformPathSeparator + entry.name;
    fileList = new FileNode{path, resultPathFor(path), false, fileList};
  }
  if (why != nullptr) *why = listing.why;
  return listing.status;
}

namespace {

// What the run needs before its first file: the files, their result names,
// and the kept files' tables with room for every input and result. Throws
// when memory runs out, leaving what it made to the caller to let go.
ListingStatus collectFiles(const std::string& directory, FailureReason* why) {
  const ListingStatus listing = scanDirectory(directory, why);
  std::size_t files = 0;
  for (const FileNode* node = fileList; node != nullptr; node = node->next) ++files;
  prepareKeptFiles(2 * files);
  for (const FileNode* node = fileList; node != nullptr; node = node->next) keepFromReplacement(node->path);
  return listing;
}

int cannotOpenDirectory(const std::string& directory, const FailureReason& why) {
  printNow("\nError: cannot open directory %s\n", directory.c_str());
  printFailure(directory.c_str(), why);
  return kCannotLoad;
}

// The closing error line of a run in which files failed: how many, and the
// first names. Made without allocating: memory may be what they lacked.
void reportFailedFiles(const std::string& directory, int failed, int taken) {
  const char* named[kFailuresNamed] = {};
  int count = 0;
  for (const FileNode* node = fileList; node != nullptr && count < kFailuresNamed; node = node->next) {
    if (node->failed) named[count++] = node->path.c_str();
  }
  char counts[64];
  std::snprintf(counts, sizeof counts, "%d of %d files failed: ", failed, taken);
  printErrorList(directory.c_str(), counts, named, count, failed > kFailuresNamed);
}

}  // namespace

int runDirectoryMode(const std::string& directory, bool commandLineNamedIt) {
  batchStartTicks = platformTickCount();
  FailureReason why{};
  ListingStatus listing = ListingStatus::kCannotOpen;
  try {
    listing = collectFiles(directory, &why);
  } catch (const std::bad_alloc&) {
    forgetKeptFiles();
    releaseFileList();
    return cannotOpenDirectory(directory, FailureReason{Failure::kNoMemory});
  }
  // A listing that broke off part-way is not taken as whole: no file of it.
  if (listing == ListingStatus::kBrokenOff) return cannotOpenDirectory(directory, why);
  if (fileList == nullptr) {
    // Something named in place of a directory is most often a picture given
    // without its output name: a wrong command line.
    if (!commandLineNamedIt || listing == ListingStatus::kNotADirectory) return printUsage();
    if (listing == ListingStatus::kCannotOpen) return cannotOpenDirectory(directory, why);
    return kProcessed;
  }
  // From here on nothing is allocated but by processFile, which takes a
  // shortage of memory as its file's failure.
  int worstResult = kProcessed;
  int taken = 0;
  int failed = 0;
  for (FileNode* node = fileList; node != nullptr; node = node->next) {
    const int result = processFile(node->path.c_str(), node->outputPath.c_str());
    // The identity of a result is the one it has once saved.
    if (result == kProcessed) keepFromReplacement(node->outputPath);
    worstResult = std::max(worstResult, result);
    ++taken;
    node->failed = result != kProcessed;
    if (node->failed) ++failed;
    printNow("\n");
  }
  if (filesDone > 0) {
    const double seconds = elapsedSeconds(batchStartTicks, platformTickCount());
    printNow("\n\nTotal run-time: %.1fs (%.1fs per file). Average shift: %.2f\n", seconds, seconds / filesDone,
             averageShiftSum / filesDone);
  }
  if (failed > 0) reportFailedFiles(directory, failed, taken);
  forgetKeptFiles();
  releaseFileList();
  return worstResult;
}
