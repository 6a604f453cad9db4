#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

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

void makeReadOnly(const std::string& path) {
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

void makeDirectory(const std::string& path) {
  if (!fs::create_directory(path)) std::abort();
}

std::string joinPath(const std::string& directory, const std::string& name) {
  return directory + platformPathSeparator + name;
}

std::string besideTestProgram(const std::string& name) {
#ifdef _WIN32
  char program[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) std::abort();
  const fs::path directory = fs::path(program).parent_path();
#else
  const fs::path directory = fs::read_symlink("/proc/self/exe").parent_path();
#endif
  return (directory / fs::path(name).make_preferred()).string();
}

#ifdef _WIN32
static std::string freshDirectoryIn(const fs::path& parent) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const fs::path candidate =
        parent / ("lomvera-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
    std::error_code error;
    if (fs::create_directory(candidate, error)) return candidate.string();
    if (error) break;
  }
  std::abort();
}
#endif

TemporaryDirectory::TemporaryDirectory() {
#ifdef _WIN32
  root_ = freshDirectoryIn(fs::temp_directory_path());
#else
  std::string pattern = (fs::temp_directory_path() / "lomvera-test-XXXXXX").string();
  if (mkdtemp(&pattern[0]) == nullptr) std::abort();
  root_ = pattern;
#endif
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

std::string TemporaryDirectory::path(const std::string& name) const { return joinPath(root_, name); }

#ifdef _WIN32
// Quotes one argument so that the C runtime's command-line parser of the
// started program gives it back unchanged: backslashes count only in front
// of a double quote.
static std::string quotedArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

static HANDLE inheritableHandle(const std::string& path, bool forWriting) {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileA(path.c_str(), forWriting ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     &inherited, forWriting ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts the program with its standard streams on the capture files and
// returns its exit code, or -1 when it could not be started.
static int runWithStreams(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& workingDirectory, const TemporaryDirectory& capture,
                          const std::string& /*shellSetup: a POSIX shell's business*/) {
  std::string commandLine = quotedArgument(program);
  for (const std::string& argument : arguments) commandLine += " " + quotedArgument(argument);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inheritableHandle(capture.path("stdin"), false);
  startup.hStdOutput = inheritableHandle(capture.path("stdout"), true);
  startup.hStdError = inheritableHandle(capture.path("stderr"), true);
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                     workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &process);
  CloseHandle(startup.hStdInput);
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);
  if (!started) return -1;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.hProcess, &exitCode)) exitCode = static_cast<DWORD>(-1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}

// A console program's text lines end in "\r\n" on Windows.
static std::string withNewlineLineEnds(const Bytes& text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result += static_cast<char>(text[i]);
  }
  return result;
}
#else
std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

static int runWithStreams(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& workingDirectory, const TemporaryDirectory& capture,
                          const std::string& shellSetup) {
  std::string command;
  if (!shellSetup.empty()) command += shellSetup + "; ";
  if (!workingDirectory.empty()) command += "cd " + shellQuoted(workingDirectory) + " && ";
  command += "timeout -k 5 60 " + shellQuoted(program);
  for (const std::string& argument : arguments) command += " " + shellQuoted(argument);
  command += " <" + shellQuoted(capture.path("stdin")) + " >" + shellQuoted(capture.path("stdout")) + " 2>" +
             shellQuoted(capture.path("stderr"));
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static std::string withNewlineLineEnds(const Bytes& text) { return std::string(text.begin(), text.end()); }
#endif

ToolRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& workingDirectory, const std::string& input, const std::string& shellSetup) {
  TemporaryDirectory capture;
  writeBytes(capture.path("stdin"), Bytes(input.begin(), input.end()));
  ToolRun run{};
  run.exitStatus = runWithStreams(program, arguments, workingDirectory, capture, shellSetup);
  run.output = withNewlineLineEnds(readBytes(capture.path("stdout")));
  run.errors = withNewlineLineEnds(readBytes(capture.path("stderr")));
  return run;
}

std::string toolExecutable() { return besideTestProgram(LOMVERA_EXECUTABLE_NAME); }

ToolRun runTool(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                const std::string& input, const std::string& shellSetup) {
  return runProgram(toolExecutable(), arguments, workingDirectory, input, shellSetup);
}

std::vector<std::string> loadedFileNames(const std::string& output) {
  const std::string loading = "\nloading input file ";
  std::vector<std::string> names;
  for (std::size_t at = output.find(loading); at != std::string::npos; at = output.find(loading, at + 1)) {
    const std::size_t start = at + loading.size();
    const std::string path = output.substr(start, output.find('\n', start) - start);
    names.push_back(path.substr(path.find_last_of(platformPathSeparator) + 1));
  }
  return names;
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

std::string runTextBeforeReport(const std::string& input, const std::string& output, int lineCount) {
  return bannerText() + loadingText(input) + progressText(lineCount) + "saving output file " + output;
}

std::string loadFailureText(const std::string& input) {
  return bannerText() + loadingText(input) + "\nError: cannot open file " + input + "\n";
}

std::uint64_t savedFileSize(int width, int height) { return 18 + 3 * std::uint64_t(width) * std::uint64_t(height); }
