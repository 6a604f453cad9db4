// The road of one file: load, decide the orientation, the three stages,
// save, report.

#include "driver/driver.h"

#include <exception>

#include "correction/correction.h"
#include "correction/generator.h"
#include "driver/stage_clock.h"
#include "image/image.h"
#include "platform/console.h"
#include "platform/platform.h"

std::int32_t filesDone = 0;
double averageShiftSum = 0.0;

const char* const orientationNames[2] = {"vertical", "horizontal"};

namespace {

constexpr double kSecondsPerTick = 0.001;

// Decides in which direction the stripes run: along the longer side. A picture
// wider than it is tall has rows as lines; any other, square included, has
// columns. Returns the orientation index.
int chooseOrientation() {
  if (lineCount > lineLength) {
    inputImage.transposed = 1;
    outputImage.transposed = 1;
    const std::int32_t rows = lineLength;
    lineLength = lineCount;
    lineCount = rows;
    return 1;
  }
  return 0;
}

// The mean correction per colour sample, in colour levels; 0 for a picture
// without pixels.
double averageShiftOfFile() {
  const double samples = static_cast<double>(std::int64_t{lineLength} * lineCount) * 3.0;
  return samples > 0.0 ? static_cast<double>(shiftTotal) / samples : 0.0;
}

// Ends a file that failed with `result`: its specified error line on standard
// output, its reason on standard error.
int failFile(int result, const char* path, const FailureReason& why) {
  printNow(result == kCannotLoad ? "\nError: cannot open file %s\n" : "\nError: cannot save result to file %s\n", path);
  printFailure(path, why);
  return result;
}

}  // namespace

double elapsedSeconds(std::uint32_t startTicks, std::uint32_t endTicks) {
  return static_cast<double>(static_cast<std::uint32_t>(endTicks - startTicks)) * kSecondsPerTick;
}

void runStages() {
  computeShift();
  stageClockMark("statistics");
  buildShiftTable();
  stageClockMark("table");
  performShift();
  stageClockMark("application");
}

// No exception is thrown on the normal path; an allocation that fails (in
// the loading, the stages or the saving) ends the file as a failure of its
// own, and the input and the unfinished output are let go. Past the loading,
// the generator is left where the whole picture's draws take it, so that the
// files after it come out as they would after any other failed file.
int processFile(const char* inputPath, const char* outputPath) {
  const std::uint32_t ditherStart = ditherState;
  bool loaded = false;
  try {
    const std::uint32_t startTicks = platformTickCount();
    stageClockStart();
    printNow("\nloading input file %s", inputPath);
    FailureReason why{};
    if (inputImage.loadTga(inputPath, &why) != 0) return failFile(kCannotLoad, inputPath, why);
    loaded = true;
    lineCount = inputImage.width;
    lineLength = inputImage.height;
    shiftTotal = 0;
    inputImage.transposed = 0;
    outputImage.transposed = 0;
    outputImage.resize(inputImage.width, inputImage.height);
    const int orientation = chooseOrientation();
    printNow("\n");
    stageClockMark("load");
    // The corrected rows go to the output file as they come; a failure to
    // create it is reported at the saving step, after the stages have run.
    outputImage.createTga(outputPath);
    runStages();
    printNow("saving output file %s", outputPath);
    // Nothing is saved of an input that was not read through unchanged, nor
    // over a file the run keeps; the abandoned output leaves nothing behind.
    if (!inputImage.closeTga()) why.kind = Failure::kInputChanged;
    else if (!mayReplace(outputPath)) why.kind = Failure::kKeptFile;
    if (why.kind != Failure::kNone || outputImage.saveTga(&why) != 0) {
      outputImage.discardTga();
      return failFile(kCannotSave, outputPath, why);
    }
    const std::uint32_t endTicks = platformTickCount();
    stageClockMark("save");
    stageClockReport();
    const double averageShift = averageShiftOfFile();
    printNow("\n\nstripes: %s, average shift: %.3f, processing time: %.1fs\n", orientationNames[orientation],
             averageShift, elapsedSeconds(startTicks, endTicks));
    filesDone += 1;
    averageShiftSum += averageShift;
    return kProcessed;
  } catch (const std::exception&) {
    inputImage.closeTga();
    outputImage.discardTga();
    if (loaded) ditherState = stateAfterPicture(ditherStart);
    return failFile(loaded ? kCannotSave : kCannotLoad, loaded ? outputPath : inputPath,
                    FailureReason{Failure::kNoMemory});
  }
}
