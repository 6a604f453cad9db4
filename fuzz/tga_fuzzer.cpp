// libFuzzer target: the given bytes become an input file, and the road of one
// file runs on it exactly as in a single-file run (processFile): loading, the
// three stages, saving the corrected copy to a second file.
//
// Every input runs twice: on the calling thread alone, and on 2 to 17 threads
// with blocks of 1 to 512 pixels, so that a picture of a few hundred pixels
// has several runs of rows per pass. The two runs use the two builds of the
// kernels, where the processor has the wide one: the run on one thread the
// baseline build and the threaded run the wide one, or for a quarter of the
// inputs the other way round. Both must give the same result, the
// same output bytes (or both none), the same console text but for the
// processing time, and the same generator state afterwards. For a quarter of
// the inputs the input file is cut short just before one of the two passes,
// and the output is a pipe: the rows that reach it before the failure must be
// the same at both thread counts (both then use the small blocks, since the
// bytes up to a failure depend on where the runs end).
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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "correction/correction.h"
#include "correction/generator.h"
#include "correction/parallel_runs.h"
#include "driver/driver.h"
#include "image/image.h"
#include "platform/wide_vectors.h"
#include "support/helpers.h"

namespace {

std::string workDirectory;
std::string inputPath;
std::string outputPath;
constexpr std::uint64_t kHeaderBytes = 18;
// The output of an input this long fits a pipe's buffer, so a pipe as the
// output needs no reader while the tool writes.
constexpr std::size_t kLongestInputForPipe = 16384;

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

std::string bytesOfFile(const std::string& path) {
  std::string bytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  check(file != nullptr, "cannot open the output file");
  char block[4096];
  for (std::size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;) bytes.append(block, got);
  std::fclose(file);
  return bytes;
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
  check(readRows(reloaded, 0, reloaded.height, rows.data()), "output file does not read back");
  for (const Pixel pixel : rows) check((pixel >> 24) == 0, "output pixel with alpha");
  check(reloaded.closeTga(), "output file changed while read back");
}

// The console: standard output goes to consoleText. When cutLabel is set and
// the tool prints it, the input file is cut to cutAt bytes at once, before
// the pass that the label begins reads anything.
std::string consoleText;
const char* cutLabel = nullptr;
std::uint64_t cutAt = 0;

ssize_t writeConsole(void*, const char* text, std::size_t size) {
  const std::size_t searchFrom = consoleText.size() > 32 ? consoleText.size() - 32 : 0;
  consoleText.append(text, size);
  if (cutLabel != nullptr && consoleText.find(cutLabel, searchFrom) != std::string::npos) {
    check(truncate(inputPath.c_str(), static_cast<off_t>(cutAt)) == 0, "cannot cut the input file");
    cutLabel = nullptr;
  }
  return static_cast<ssize_t>(size);
}

// The console text with the processing time taken out.
std::string withoutTime(std::string text) {
  const std::string label = "processing time: ";
  const std::size_t at = text.find(label);
  if (at == std::string::npos) return text;
  const std::size_t end = text.find('s', at + label.size());
  return text.erase(at + label.size(), end == std::string::npos ? std::string::npos : end - at - label.size());
}

// What one run of the road leaves: its result, the output bytes (of the file,
// or what reached the pipe), the console text and the generator's state.
struct Outcome {
  int result = 0;
  bool hasOutput = false;
  std::string output;
  std::string console;
  std::uint32_t state = 0;
};

// What an input asks for, taken from a hash of its bytes so that every
// mutation tries other thread counts, blocks and cuts.
struct Choices {
  int threads = 2;
  std::int32_t blockPixels = 1;
  const char* cutLabel = nullptr;  // the pass before which the input is cut, or none
  std::uint64_t cutAt = 0;
  bool wideAlone = false;  // the run on one thread uses the wide kernels, the threaded one the baseline
};

Choices choicesFor(const std::uint8_t* data, std::size_t size) {
  std::uint64_t hash = 0xCBF29CE484222325u;
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001B3u;
  Choices choices;
  choices.threads = 2 + static_cast<int>(hash % 16);
  choices.blockPixels = std::int32_t{1} << ((hash >> 8) % 10);
  if (size > 0 && size <= kLongestInputForPipe && (hash >> 16) % 4 == 0) {
    choices.cutLabel = (hash >> 20) % 2 == 0 ? "computing shift  " : "performing shift ";
    choices.cutAt = (hash >> 24) % size;
  }
  choices.wideAlone = (hash >> 40) % 4 == 0;
  return choices;
}

// A run to a plain output file, with every check of an honest outcome.
Outcome runToFile(const std::uint8_t* data, std::size_t size) {
  writeInputFile(data, size);
  std::remove(outputPath.c_str());
  // Every run starts the rounding generator afresh, so a finding replays
  // the same way on its own.
  ditherState = kDitherSeed;
  consoleText.clear();
  Outcome outcome;
  outcome.result = processFile(inputPath.c_str(), outputPath.c_str());
  if (outcome.result == kProcessed) {
    checkSavedOutput();
    check(filesInWorkDirectory() == 2, "files left beside the output");
    outcome.hasOutput = true;
    outcome.output = bytesOfFile(outputPath);
  } else {
    check(outcome.result == kCannotLoad, "save failed on a healthy disk");
    check(filesInWorkDirectory() == 1, "a failed load left a file behind");
  }
  outcome.console = withoutTime(consoleText);
  outcome.state = ditherState;
  return outcome;
}

// A run to a pipe, the input cut before a pass: the file fails, and what
// reached the pipe is the output.
Outcome runToPipeWithCut(const std::uint8_t* data, std::size_t size, const Choices& choices) {
  writeInputFile(data, size);
  std::remove(outputPath.c_str());
  int ends[2];
  check(pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0, "cannot make a pipe");
  const std::string pipePath = "/proc/self/fd/" + std::to_string(ends[1]);
  ditherState = kDitherSeed;
  consoleText.clear();
  cutLabel = choices.cutLabel;
  cutAt = choices.cutAt;
  Outcome outcome;
  outcome.result = processFile(inputPath.c_str(), pipePath.c_str());
  cutLabel = nullptr;
  close(ends[1]);
  char block[4096];
  for (ssize_t got; (got = read(ends[0], block, sizeof block)) > 0;) outcome.output.append(block, static_cast<std::size_t>(got));
  close(ends[0]);
  outcome.hasOutput = !outcome.output.empty();
  check(outcome.result == kCannotLoad || outcome.result == kCannotSave, "an input cut short was saved");
  check(outcome.result == kCannotSave || !outcome.hasOutput, "a failed load wrote to the pipe");
  check(filesInWorkDirectory() == 1, "a cut input left a file behind");
  outcome.console = withoutTime(consoleText);
  outcome.state = ditherState;
  return outcome;
}

// How often the threaded run had more than one run of rows in its passes.
std::uint64_t inputsLoaded = 0;
std::uint64_t inputsWithRunsInBothPasses = 0;

void reportRunShare() {
  std::fprintf(stderr, "lomvera fuzz: %llu of %llu loaded inputs had more than one run in each pass\n",
               static_cast<unsigned long long>(inputsWithRunsInBothPasses),
               static_cast<unsigned long long>(inputsLoaded));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The tool's console output is kept for the comparison; libFuzzer reports
  // on stderr.
  static const cookie_io_functions_t console = {nullptr, writeConsole, nullptr, nullptr};
  stdout = fopencookie(nullptr, "w", console);
  check(stdout != nullptr, "cannot catch standard output");
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/lomvera-fuzz-XXXXXX";
  check(mkdtemp(&pattern[0]) != nullptr, "cannot create the work directory");
  workDirectory = pattern;
  inputPath = workDirectory + "/in.tga";
  outputPath = workDirectory + "/out.tga";
  std::atexit(removeWorkDirectory);
  std::atexit(reportRunShare);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Choices choices = choicesFor(data, size);
  const bool cut = choices.cutLabel != nullptr;

  // One thread, with the tool's own blocks unless the bytes up to a failure
  // are compared.
  const bool wide = processorRunsWideVectorCode();
  forceWorkerThreads(1);
  forceRowBlockPixels(cut ? choices.blockPixels : 0);
  wideVectorsInUse = wide && choices.wideAlone;
  const Outcome alone = cut ? runToPipeWithCut(data, size, choices) : runToFile(data, size);

  forceWorkerThreads(choices.threads);
  forceRowBlockPixels(choices.blockPixels);
  wideVectorsInUse = wide && !choices.wideAlone;
  const Outcome spread = cut ? runToPipeWithCut(data, size, choices) : runToFile(data, size);
  if (spread.result != kCannotLoad) {
    ++inputsLoaded;
    if (statisticsSpread.runs > 1 && correctionSpread.runs > 1) ++inputsWithRunsInBothPasses;
  }
  forceWorkerThreads(0);
  forceRowBlockPixels(0);
  wideVectorsInUse = wide;

  check(spread.result == alone.result, "the result differs between one thread and several");
  check(spread.hasOutput == alone.hasOutput && spread.output == alone.output,
        "the output differs between one thread and several");
  check(spread.console == alone.console, "the console text differs between one thread and several");
  check(spread.state == alone.state, "the generator state differs between one thread and several");
  return 0;
}
