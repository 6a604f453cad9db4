// Microbenchmarks of the three correction stages on a benchmark scan
// (bench_scan.h) of 6000 x 4000 pixels, lines as rows and as columns, read
// from a file in the system's temporary directory (in its file cache after
// the first read) and written to another there.
//
//   build-bench/bench/lomvera_stage_benchmarks
//
// The stages print their progress lines on standard output; those go to
// /dev/null here, and the benchmark's own report goes to standard error.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "bench_scan.h"
#include "correction/correction.h"
#include "image/image.h"
#include "support/helpers.h"
#include "platform/wide_vectors.h"

namespace {

constexpr int kLongSide = 6000;
constexpr int kShortSide = 4000;

std::string scanPath(bool linesAreRows) {
  return (std::filesystem::temp_directory_path() / (linesAreRows ? "lomvera-bench-rows.tga" : "lomvera-bench-columns.tga")).string();
}
const std::string outputPath = (std::filesystem::temp_directory_path() / "lomvera-bench-out.tga").string();

// Writes the scan to its file once, opens it as inputImage and sets the
// lines up as processFile does.
void prepareScan(bool linesAreRows) {
  const int width = linesAreRows ? kLongSide : kShortSide;
  const int height = linesAreRows ? kShortSide : kLongSide;
  const std::string path = scanPath(linesAreRows);
  if (!std::filesystem::exists(path)) {
    Image scan;
    scan.resize(width, height);
    scan.createTga(path.c_str());
    std::vector<Pixel> row(static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) row[static_cast<std::size_t>(x)] = benchscan::colourOfPixel(x, y, width, height);
      writePixels(scan, row.data(), row.size());
    }
    scan.saveTga();
  }
  inputImage.loadTga(path.c_str());
  outputImage.resize(width, height);
  inputImage.transposed = outputImage.transposed = linesAreRows ? 1 : 0;
  lineCount = kShortSide;
  lineLength = kLongSide;
  shiftTotal = 0;
}

void setPixelsProcessed(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * std::int64_t{kLongSide} * kShortSide);
}

// The second argument chooses the build of the pixel loops: 1 the wide
// vector one (where the processor has it), 0 the baseline one.
void chooseLoops(benchmark::State& state) { wideVectorsInUse = state.range(1) != 0 && processorRunsWideVectorCode(); }

void computeShiftOnScan(benchmark::State& state) {
  prepareScan(state.range(0) != 0);
  chooseLoops(state);
  for (auto _ : state) computeShift();
  setPixelsProcessed(state);
}

void buildShiftTableOnScan(benchmark::State& state) {
  prepareScan(true);
  computeShift();
  for (auto _ : state) buildShiftTable();
}

void performShiftOnScan(benchmark::State& state) {
  prepareScan(state.range(0) != 0);
  chooseLoops(state);
  computeShift();
  buildShiftTable();
  for (auto _ : state) {
    state.PauseTiming();
    outputImage.createTga(outputPath.c_str());
    state.ResumeTiming();
    performShift();
    state.PauseTiming();
    outputImage.discardTga();
    state.ResumeTiming();
  }
  setPixelsProcessed(state);
}

// First argument 1: lines are rows (landscape); 0: lines are columns (portrait).
BENCHMARK(computeShiftOnScan)->ArgsProduct({{1, 0}, {1, 0}})->Unit(benchmark::kMillisecond);
BENCHMARK(buildShiftTableOnScan)->Unit(benchmark::kMillisecond);
BENCHMARK(performShiftOnScan)->ArgsProduct({{1, 0}, {1, 0}})->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::filesystem::remove(scanPath(true));
  std::filesystem::remove(scanPath(false));
  return 0;
}
