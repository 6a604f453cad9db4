#include "tool_runs.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <thread>
#endif

#include "platform/platform.h"
#include "test_files.h"

std::vector<std::string> builtProgramCommand(const std::string& program) {
  std::vector<std::string> words;
#ifdef LOMVERA_TOOL_EMULATOR
  std::istringstream emulator(LOMVERA_TOOL_EMULATOR);
  for (std::string word; emulator >> word;) words.push_back(word);
#endif
  words.push_back(program);
  return words;
}

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

// Starts the program with the standard streams given, which it inherits, and
// returns its exit code, or -1 when it could not be started. The command
// line goes in UTF-16, so that UTF-8 arguments reach it whole.
static int startAndWait(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& workingDirectory, HANDLE input, HANDLE output, HANDLE errors) {
  std::string commandLine = quotedArgument(program);
  for (const std::string& argument : arguments) commandLine += " " + quotedArgument(argument);
  std::wstring wideCommandLine = std::filesystem::u8path(commandLine).native();
  const std::wstring wideDirectory = std::filesystem::u8path(workingDirectory).native();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = errors;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(std::filesystem::u8path(program).c_str(), &wideCommandLine[0], nullptr, nullptr,
                                      TRUE, 0, nullptr, workingDirectory.empty() ? nullptr : wideDirectory.c_str(),
                                      &startup, &process);
  if (!started) return -1;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.hProcess, &exitCode)) exitCode = static_cast<DWORD>(-1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}

// Starts the program with its standard streams on the capture files.
static int runWithStreams(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& workingDirectory, const TemporaryDirectory& capture,
                          const std::string& /*shellSetup: a POSIX shell's business*/) {
  const HANDLE input = inheritableHandle(capture.path("stdin"), false);
  const HANDLE output = inheritableHandle(capture.path("stdout"), true);
  const HANDLE errors = inheritableHandle(capture.path("stderr"), true);
  const int exitCode = startAndWait(program, arguments, workingDirectory, input, output, errors);
  CloseHandle(input);
  CloseHandle(output);
  CloseHandle(errors);
  return exitCode;
}

int runToolIntoClosedPipe(const std::vector<std::string>& arguments) {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE reading = nullptr;
  HANDLE writing = nullptr;
  if (!CreatePipe(&reading, &writing, &inherited, 0)) return -1;
  CloseHandle(reading);
  const HANDLE nothing = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherited, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const int exitCode = startAndWait(toolExecutable(), arguments, "", nothing, writing, nothing);
  CloseHandle(nothing);
  CloseHandle(writing);
  return exitCode;
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

// Has the system refuse this process, and the programs it starts, any open
// with O_TMPFILE, with the error of a file system that does not offer it; or
// any linkat, with the error of a sandbox that forbids it.
static bool refuse(Refusal refused) {
  if (refused == Refusal::kNothing) return true;
  // The flags are the third argument of openat; their low half, on this
  // little-endian machine, holds O_TMPFILE.
  constexpr unsigned kFlagsOffset = offsetof(seccomp_data, args) + 2 * sizeof(std::uint64_t);
  sock_filter unnamedFiles[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 4),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kFlagsOffset),
      BPF_STMT(BPF_ALU | BPF_AND | BPF_K, O_TMPFILE),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, O_TMPFILE, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_filter naming[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_linkat, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program = refused == Refusal::kUnnamedFiles
                                 ? sock_fprog{static_cast<unsigned short>(std::size(unnamedFiles)), unnamedFiles}
                                 : sock_fprog{static_cast<unsigned short>(std::size(naming)), naming};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

bool refusalsCanBeMade() {
  static const bool made = [] {
    const pid_t child = fork();
    if (child == 0) _exit(refuse(Refusal::kUnnamedFiles) ? 0 : 1);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }();
  return made;
}

int startTool(const std::vector<std::string>& arguments, int standardOutput, Refusal refused, bool errorsToo,
              bool ignoring) {
  std::vector<std::string> words = builtProgramCommand(toolExecutable());
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    // As a shell starts a command, whatever this process inherited; and
    // without the core dump of the signals that make one.
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) std::signal(signalNumber, SIG_DFL);
    if (ignoring) {
      for (const int signalNumber : {SIGHUP, SIGINT, SIGQUIT}) std::signal(signalNumber, SIG_IGN);
    }
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    const int nothing = open("/dev/null", O_RDWR);
    dup2(nothing, 0);
    dup2(standardOutput, 1);
    dup2(errorsToo ? standardOutput : nothing, 2);
    if (!refuse(refused)) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

HeldTool startHeldTool(const std::vector<std::string>& arguments, std::size_t room, Refusal refused, bool ignoring) {
  int ends[2];
  if (pipe(ends) != 0) return HeldTool{-1, -1, 0};
  // One page: the bytes of small writes then fill it exactly.
  const int capacity = fcntl(ends[1], F_SETPIPE_SZ, 4096);
  const std::size_t filler = capacity > static_cast<int>(room) ? static_cast<std::size_t>(capacity) - room : 0;
  const std::string bytes(filler, 'x');
  const bool filled = filler > 0 && write(ends[1], bytes.data(), filler) == static_cast<ssize_t>(filler);
  const int process = filled ? startTool(arguments, ends[1], refused, true, ignoring) : -1;
  close(ends[1]);
  return HeldTool{process, ends[0], filler};
}

ToolRun finishHeldTool(const HeldTool& tool) {
  std::string text;
  char block[4096];
  for (ssize_t got; (got = read(tool.pipe, block, sizeof block)) != 0;) {
    if (got > 0) text.append(block, static_cast<std::size_t>(got));
    if (got < 0 && errno != EINTR) break;
  }
  close(tool.pipe);
  const int status = waitForTool(tool.process);
  return ToolRun{status, text.size() >= tool.filler ? text.substr(tool.filler) : std::string(), ""};
}

// The files the process holds open for writing in the folder, named or not,
// and how many bytes each holds.
static std::vector<std::uint64_t> sizesOfFilesBeingWritten(int process, const std::string& folder) {
  std::vector<std::uint64_t> sizes;
  const std::string descriptors = "/proc/" + std::to_string(process) + "/fd";
  DIR* listing = opendir(descriptors.c_str());
  if (listing == nullptr) return sizes;
  while (const dirent* entry = readdir(listing)) {
    const std::string path = descriptors + "/" + entry->d_name;
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    // The link's own mode tells how the file is open; a file without a name
    // shows as "folder/#inode (deleted)".
    struct stat link {}, file {};
    if (length <= 0 || std::string(target, static_cast<std::size_t>(length)).rfind(folder + "/", 0) != 0 ||
        lstat(path.c_str(), &link) != 0 || (link.st_mode & S_IWUSR) == 0 || stat(path.c_str(), &file) != 0) {
      continue;
    }
    sizes.push_back(static_cast<std::uint64_t>(file.st_size));
  }
  closedir(listing);
  return sizes;
}

bool waitUntilWriting(int process, const std::string& folder, std::uint64_t bytes) {
  // /proc shows the folder as the system names it, links followed.
  const std::string shown = std::filesystem::canonical(folder).string();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const std::uint64_t size : sizesOfFilesBeingWritten(process, shown)) {
      if (size >= bytes) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

int waitForTool(int child) {
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int runToolIntoClosedPipe(const std::vector<std::string>& arguments) {
  int ends[2];
  if (pipe(ends) != 0) return -1;
  close(ends[0]);
  const int child = startTool(arguments, ends[1]);
  close(ends[1]);
  return waitForTool(child);
}
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

ToolRun runBuiltProgram(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& workingDirectory, const std::string& input, const std::string& shellSetup) {
  std::vector<std::string> words = builtProgramCommand(program);
  words.insert(words.end(), arguments.begin(), arguments.end());
  return runProgram(words.front(), std::vector<std::string>(words.begin() + 1, words.end()), workingDirectory, input,
                    shellSetup);
}

ToolRun runTool(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                const std::string& input, const std::string& shellSetup) {
  return runBuiltProgram(toolExecutable(), arguments, workingDirectory, input, shellSetup);
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
