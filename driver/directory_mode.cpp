// Directory batch mode: every input file of one directory in one run, each
// result written beside its input under the "_s.tga" name.

#include <algorithm>
#include <cstdint>
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

ListingStatus scanDirectory(const std::string& directory) {
  const TgaListing listing = platformListTgaEntries(directory);
  for (const DirectoryEntry& entry : listing.entries) {
    if (!entry.isRegularFile || isEarlierResult(entry.name)) continue;
    fileList = new FileNode{directory + platformPathSeparator + entry.name, fileList};
  }
  return listing.status;
}

int runDirectoryMode(const std::string& directory, bool commandLineNamedIt) {
  batchStartTicks = platformTickCount();
  const ListingStatus listing = scanDirectory(directory);
  if (fileList == nullptr) {
    // Something named in place of a directory is most often a picture given
    // without its output name: a wrong command line.
    if (!commandLineNamedIt || listing == ListingStatus::kNotADirectory) return printUsage();
    if (listing == ListingStatus::kCannotOpen) {
      printNow("\nError: cannot open directory %s\n", directory.c_str());
      return kCannotLoad;
    }
    return kProcessed;
  }
  for (const FileNode* node = fileList; node != nullptr; node = node->next) keepFromReplacement(node->path);
  int worstResult = kProcessed;
  int taken = 0;
  int failed = 0;
  std::string failedNames;
  for (const FileNode* node = fileList; node != nullptr; node = node->next) {
    const std::string outputPath = resultPathFor(node->path);
    const int result = processFile(node->path.c_str(), outputPath.c_str());
    // The identity of a result is the one it has once saved.
    if (result == kProcessed) keepFromReplacement(outputPath);
    worstResult = std::max(worstResult, result);
    ++taken;
    if (result != kProcessed && ++failed <= kFailuresNamed) failedNames += (failed > 1 ? ", " : "") + node->path;
    printNow("\n");
  }
  if (filesDone > 0) {
    const double seconds = elapsedSeconds(batchStartTicks, platformTickCount());
    printNow("\n\nTotal run-time: %.1fs (%.1fs per file). Average shift: %.2f\n", seconds, seconds / filesDone,
             averageShiftSum / filesDone);
  }
  if (failed > 0) {
    const std::string summary = std::to_string(failed) + " of " + std::to_string(taken) + " files failed: " + failedNames;
    printError(directory.c_str(), summary.c_str(), failed > kFailuresNamed ? ", ..." : "");
  }
  releaseFileList();
  forgetKeptFiles();
  return worstResult;
}
