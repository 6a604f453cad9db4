// The entry point's work: the banner, then the run the arguments ask for.

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/console.h"
#include "platform/platform.h"

namespace {

// The words with which users ask a console program for help, and for its
// version.
const char* const kHelpWords[] = {"--help", "-h", "-?", "/?"};
const char* const kVersionWords[] = {"--version"};

// Whether the one argument is one of the words and names nothing, so that a
// folder of that name is still a folder.
template <std::size_t count>
bool asksFor(const std::string& argument, const char* const (&words)[count]) {
  FileIdentity identity{};
  return std::find(words, words + count, argument) != words + count && !platformIdentityOf(argument.c_str(), &identity);
}

// What the reason of a command line that cannot be read is told of.
const char* const kCommandLineSubject = "the command line";

int runArguments(const std::vector<std::string>& arguments) {
  switch (arguments.size()) {
    case 3:
      return processFile(arguments[1].c_str(), arguments[2].c_str());
    case 2:
      if (asksFor(arguments[1], kHelpWords)) return printUsage(false);
      if (asksFor(arguments[1], kVersionWords)) return printVersion();
      return runDirectoryMode(arguments[1], true);
    case 1:
      return runDirectoryMode(".", false);
    default:
      return printUsage();
  }
}

}  // namespace

// Memory that runs out outside a file's own road (reading the command line,
// naming the usage) ends the run with its reason instead of taking the
// process down.
int runCommandLine(int argc, char** argv) {
  platformPrepareProcess();
  try {
    std::vector<std::string> arguments;
    FailureReason why{};
    if (!platformArguments(argc, argv, &arguments, &why)) {
      printFailure(kCommandLineSubject, why);
      return kCannotLoad;
    }
    printBanner();
    return runArguments(arguments);
  } catch (const std::bad_alloc&) {
    printFailure(kCommandLineSubject, FailureReason{Failure::kNoMemory});
    return kCannotLoad;
  }
}
