// The entry point's work: the banner, then the run the arguments ask for.

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/platform.h"

namespace {

// The words with which users ask a console program for help or its version.
const char* const kHelpWords[] = {"--help", "-h", "-?", "/?", "--version"};

// Whether the one argument asks for help rather than names a folder: it is
// one of those words and names nothing, so that a folder of that name is
// still a folder.
bool asksForHelp(const std::string& argument) {
  const bool helpWord = std::find(std::begin(kHelpWords), std::end(kHelpWords), argument) != std::end(kHelpWords);
  FileIdentity identity{};
  return helpWord && !platformIdentityOf(argument.c_str(), &identity);
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
      if (asksForHelp(arguments[1])) return printUsage();
      return runDirectoryMode(arguments[1], true);
    case 1:
      return runDirectoryMode(".", false);
    default:
      return printUsage();
  }
}
