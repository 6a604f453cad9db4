// The entry point's work: the banner, then the run the arguments ask for.

#include <algorithm>
#include <string>
#include <vector>

#include "driver/driver.h"
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

}  // namespace

int runCommandLine(int argc, char** argv) {
  platformPrepareProcess();
  const std::vector<std::string> arguments = platformArguments(argc, argv);
  printBanner();
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
