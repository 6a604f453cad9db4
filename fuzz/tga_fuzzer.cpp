// libFuzzer target: the given bytes become an input file, and the road of one
// file runs on it exactly as in a single-file run (processFile): loading, the
// three stages, saving the corrected copy to a second file.
//
// Besides the sanitizers' own checks, the run stops (abort) on a dishonest
// outcome: success without a complete output file that loads back to the
// corrected picture, an output file after a failed load, a save failure on a
// healthy disk, or any file other than the input and the output left behind.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "correction/generator.h"
#include "driver/driver.h"
#include "image/image.h"

namespace {

std::string workDirectory;
std::string inputPath;
std::string outputPath;
constexpr std::uint64_t kHeaderBytes = 18;

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "\nlomvera fuzz check failed: %s\n", what);
  std::abort();
}

void removeWorkDirectory() {
  std::error_code error;
  std::filesystem::remove_all(workDirectory, error);
}

void writeInputFile(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(inputPath.c_str(), "wb");
  check(file != nullptr, "cannot create the input file");
  check(size == 0 || std::fwrite(data, 1, size, file) == size, "cannot write the input file");
  check(std::fclose(file) == 0, "cannot close the input file");
}

std::size_t filesInWorkDirectory() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(workDirectory)) {
    (void)entry;
    ++count;
  }
  return count;
}

// A reported success must have left a complete 24-bit file of the input's
// size that reads back whole.
void checkSavedOutput() {
  struct stat status {};
  check(stat(outputPath.c_str(), &status) == 0, "success reported without an output file");
  const std::uint64_t expectedSize = kHeaderBytes + 3 * static_cast<std::uint64_t>(inputImage.pixelCount());
  check(static_cast<std::uint64_t>(status.st_size) == expectedSize, "output file of the wrong size");
  Image reloaded;
  check(reloaded.loadTga(outputPath.c_str()) == 0, "output file does not load");
  check(reloaded.width == inputImage.width && reloaded.height == inputImage.height, "output size differs");
  std::vector<Pixel> rows(reloaded.pixelCount());
  check(reloaded.readRows(0, reloaded.height, rows.data()), "output file does not read back");
  for (const Pixel pixel : rows) check((pixel >> 24) == 0, "output pixel with alpha");
  check(reloaded.closeTga(), "output file changed while read back");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The tool's console output goes nowhere; libFuzzer reports on stderr.
  check(std::freopen("/dev/null", "w", stdout) != nullptr, "cannot silence standard output");
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/lomvera-fuzz-XXXXXX";
  check(mkdtemp(&pattern[0]) != nullptr, "cannot create the work directory");
  workDirectory = pattern;
  inputPath = workDirectory + "/in.tga";
  outputPath = workDirectory + "/out.tga";
  std::atexit(removeWorkDirectory);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  writeInputFile(data, size);
  std::remove(outputPath.c_str());
  // Every input starts the rounding generator afresh, so a finding replays
  // the same way on its own.
  ditherState = kDitherSeed;

  const int result = processFile(inputPath.c_str(), outputPath.c_str());
  if (result == kProcessed) {
    checkSavedOutput();
    check(filesInWorkDirectory() == 2, "files left beside the output");
  } else {
    check(result == kCannotLoad, "save failed on a healthy disk");
    check(filesInWorkDirectory() == 1, "a failed load left a file behind");
  }
  return 0;
}
