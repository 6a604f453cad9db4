// Microbenchmarks of the three correction stages on an in-memory benchmark
// scan (bench_scan.h) of 6000 x 4000 pixels, lines as rows and as columns.
//
//   build-bench/bench/lomvera_stage_benchmarks
//
// The stages print their progress lines on standard output; those go to
// /dev/null here, and the benchmark's own report goes to standard error.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>

#include "bench_scan.h"
#include "correction/correction.h"
#include "driver/driver.h"
#include "image/image.h"
#include "platform/wide_vectors.h"

namespace {

constexpr int kLongSide = 6000;
constexpr int kShortSide = 4000;

// Loads the scan into inputImage and sets the lines up as processFile does.
void prepareScan(bool linesAreRows) {
  const int width = linesAreRows ? kLongSide : kShortSide;
  const int height = linesAreRows ? kShortSide : kLongSide;
  if (inputImage.width != width || inputImage.height != height) {
    inputImage.resize(width, height);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        inputImage.pixels[x + static_cast<std::size_t>(y) * width] = benchscan::colourOfPixel(x, y, width, height);
  }
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
  for (auto _ : state) performShift();
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
  return 0;
}
