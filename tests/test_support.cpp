#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include <sys/wait.h>

#include "platform/wide_vectors.h"
#include "version.h"

namespace fs = std::filesystem;

Bytes tgaHeader(int width, int height, int depth, int descriptor, int imageType) {
  Bytes header(18, 0);
  header[2] = static_cast<unsigned char>(imageType);
  header[12] = static_cast<unsigned char>(width & 0xFF);
  header[13] = static_cast<unsigned char>((width >> 8) & 0xFF);
  header[14] = static_cast<unsigned char>(height & 0xFF);
  header[15] = static_cast<unsigned char>((height >> 8) & 0xFF);
  header[16] = static_cast<unsigned char>(depth);
  header[17] = static_cast<unsigned char>(descriptor);
  return header;
}

Bytes tgaFile(int width, int height, int depth, int descriptor, const std::vector<Pixel>& fileOrderPixels) {
  Bytes file = tgaHeader(width, height, depth, descriptor);
  for (Pixel p : fileOrderPixels) {
    for (int byte = 0; byte < depth / 8; ++byte) file.push_back(static_cast<unsigned char>(p >> (8 * byte)));
  }
  return file;
}

std::vector<Pixel> stripedPicture(int width, int height, bool stripesOnColumns, std::uint32_t seed, bool alpha) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> grain(-3, 3);
  std::vector<Pixel> pixels;
  pixels.reserve(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int line = stripesOnColumns ? x : y;
      const int stripe = (line % 2) ? 5 : 0;
      int red = 40 + (x * 180) / (width + 1) + grain(random) + stripe;
      int green = 60 + (y * 150) / (height + 1) + grain(random) + stripe + 2;
      int blue = ((x / 7 + y / 5) % 3) * 60 + 30 + grain(random) - stripe;
      if ((x - width / 2) * (x - width / 2) + (y - height / 3) * (y - height / 3) < width * height / 16) {
        red = 250 + stripe;  // a bright disc that saturates: exercises clamping
        green = 3 - stripe;
      }
      auto level = [](int v) { return static_cast<Pixel>(v < 0 ? 0 : (v > 255 ? 255 : v)); };
      const Pixel a = alpha ? static_cast<Pixel>(random() & 0xFF) << 24 : 0;
      pixels.push_back(a | level(red) << 16 | level(green) << 8 | level(blue));
    }
  }
  return pixels;
}

std::vector<Pixel> brighterMiddle(bool landscape) {
  const int width = landscape ? 100 : 3;
  std::vector<Pixel> pixels;
  for (int i = 0; i < 300; ++i) {
    const int line = landscape ? i / width : i % width;
    pixels.push_back(line == 1 ? 0x000A0A0A : 0);
  }
  return pixels;
}

std::vector<Pixel> correctedBrighterMiddle(bool landscape, std::uint32_t* state, long long* total) {
  const int width = landscape ? 100 : 3;
  auto half = [state] {
    *state = *state * 0x6A5DB9EFu + 0x3199A77Fu;
    return 4 + ((2547 & 511) > ((*state >> 5) & 511) ? 1 : 0);
  };
  std::vector<Pixel> expected(300, 0);
  for (int j = 0; j < 100; ++j) {
    int even[3], odd[3];
    for (int channel = 0; channel < 3; ++channel) {
      const int oddShift = half();
      const int evenShift = half();
      *total += oddShift + evenShift;
      odd[channel] = 10 - oddShift;
      even[channel] = evenShift;
    }
    const auto at = [&](int line) { return static_cast<std::size_t>(landscape ? j + line * width : line + j * width); };
    expected[at(0)] = packRgb(even[0], even[1], even[2]);
    expected[at(1)] = packRgb(odd[0], odd[1], odd[2]);
  }
  return expected;
}

std::vector<bool> vectorCodes() {
  std::vector<bool> codes{false};
  if (processorRunsWideVectorCode()) codes.push_back(true);
  return codes;
}

Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool fileExists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

std::vector<std::string> listDirectory(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (fs::temp_directory_path() / "lomvera-test-XXXXXX").string();
  if (mkdtemp(&pattern[0]) == nullptr) std::abort();
  root_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code error;
  // Restore write permission on anything a test made read-only, then remove.
  for (const auto& entry : fs::recursive_directory_iterator(root_, error)) {
    fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, error);
  fs::remove_all(root_, error);
}

std::string TemporaryDirectory::path(const std::string& name) const { return root_ + "/" + name; }

static std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

ToolRun runTool(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                const std::string& input) {
  TemporaryDirectory capture;
  writeBytes(capture.path("stdin"), Bytes(input.begin(), input.end()));
  std::string command;
  if (!workingDirectory.empty()) command += "cd " + shellQuoted(workingDirectory) + " && ";
  command += shellQuoted(LOMVERA_EXECUTABLE);
  for (const std::string& argument : arguments) command += " " + shellQuoted(argument);
  command += " <" + shellQuoted(capture.path("stdin")) + " >" + shellQuoted(capture.path("stdout")) + " 2>" +
             shellQuoted(capture.path("stderr"));
  const int status = std::system(command.c_str());
  ToolRun run{};
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const Bytes out = readBytes(capture.path("stdout"));
  const Bytes err = readBytes(capture.path("stderr"));
  run.output.assign(out.begin(), out.end());
  run.errors.assign(err.begin(), err.end());
  return run;
}

std::string bannerText() {
  return std::string("Lomvera ") + LOMVERA_VERSION + " (" + LOMVERA_RELEASE_DATE + ")\n\n";
}

std::string loadingText(const std::string& inputPath) { return "\nloading input file " + inputPath; }

static int walkDots(int lineCount, int firstStep, int lastStart) {
  const int interval = (lineCount / 50) & 0xFFFE;
  int dots = 0;
  for (int i = firstStep; i <= lastStart; i += 2) {
    if (interval == 0 || i % interval == 0) ++dots;
  }
  return dots;
}

std::string progressText(int lineCount) {
  const int triples = walkDots(lineCount, 0, lineCount - 3);
  const int pairs = walkDots(lineCount, 0, lineCount - 2);
  return "\ncomputing shift  " + std::string(static_cast<std::size_t>(triples), '.') + "\nbluring tables   " +
         std::string(32, '.') + "\nperforming shift " + std::string(static_cast<std::size_t>(pairs), '.') + "\n";
}
