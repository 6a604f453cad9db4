#include "tool_runs.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include "platform/platform.h"
#include "test_files.h"

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
