#pragma once

// Running the built tool, or another program, and capturing what it prints.
// The same tests run on Linux and on Windows; the few places where the two
// differ are in here.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ToolRun {
  int exitStatus;
  // Everything the program wrote to standard output and to standard error.
  // Line ends are "\n" whatever the platform writes: a Windows console
  // program ends its text lines with "\r\n".
  std::string output;
  std::string errors;
};

// Exit status of a run that had to be stopped because it took too long.
constexpr int kToolTimedOut = 124;

// Runs a program with the arguments, in workingDirectory (empty: the current
// one), with standard input taken from the text given, and waits for it.
// On POSIX, shellSetup is run by the shell that starts the program, before
// it (for example "ulimit -f 100"), and a run still going after 60 seconds
// is stopped with exit status kToolTimedOut, so that a tool waiting on its
// input cannot hang the tests.
ToolRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& workingDirectory = "", const std::string& input = "",
                   const std::string& shellSetup = "");
// The words that start a program of this build: in a cross build for another
// Linux processor, the words of the emulator that runs it come first.
std::vector<std::string> builtProgramCommand(const std::string& program);
// runProgram with a program of this build (the tool, or an installed copy of
// it), started by those words.
ToolRun runBuiltProgram(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& workingDirectory = "", const std::string& input = "",
                        const std::string& shellSetup = "");
// The same with the built tool.
ToolRun runTool(const std::vector<std::string>& arguments, const std::string& workingDirectory = "",
                const std::string& input = "", const std::string& shellSetup = "");
// Runs the built tool with its standard output on a pipe whose reading end
// is closed, as a pipe into a reader that has gone away (head -c 10), and
// returns its exit status (128 + the signal's number when a signal ended
// it). Nothing is read from standard input; standard error is discarded.
int runToolIntoClosedPipe(const std::vector<std::string>& arguments);
// The names of the input files in the order in which a directory run loaded
// them, taken from its console output.
std::vector<std::string> loadedFileNames(const std::string& output);

#ifndef _WIN32
// Quotes text for the POSIX shell.
std::string shellQuoted(const std::string& text);
// What the system refuses a started tool, as some file systems and sandboxes do.
enum class Refusal {
  kNothing,
  kUnnamedFiles,        // files without a name (O_TMPFILE), as a file system without them
  kNamingUnnamedFiles,  // a name for such a file (linkat, EPERM), as some sandboxes
};
// Whether the system lets this process make those refusals (a seccomp
// filter); qemu-user, for one, refuses the programs it runs any such filter.
bool refusalsCanBeMade();
// Starts the built tool with standard output on the descriptor given (and
// standard error too with errorsToo, /dev/null otherwise), signals at their
// default actions (but SIGHUP, SIGINT and SIGQUIT ignored with ignoring, as
// nohup and a shell's background job start it) and no core dumps.
int startTool(const std::vector<std::string>& arguments, int standardOutput, Refusal refused = Refusal::kNothing,
              bool errorsToo = false, bool ignoring = false);
int waitForTool(int process);

// A run of the tool held at a point of its console text: its standard output,
// and its standard error after it, is a pipe with room for only that many
// more bytes, so that it stops at the first message beyond them until the
// pipe is read.
struct HeldTool {
  int process;
  int pipe;             // the reading end
  std::size_t filler;   // bytes in the pipe before the tool's own
};
HeldTool startHeldTool(const std::vector<std::string>& arguments, std::size_t room, Refusal refused = Refusal::kNothing,
                       bool ignoring = false);
// Lets a held run go on: reads its console text to the end and waits for it.
ToolRun finishHeldTool(const HeldTool& tool);
// Waits (up to 60 seconds) until the process has a file in the folder open
// for writing that holds at least `bytes` bytes; false if it never does.
bool waitUntilWriting(int process, const std::string& folder, std::uint64_t bytes);
#endif
