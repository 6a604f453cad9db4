// The entry point's work: the banner, then the run the arguments ask for.

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/platform.h"

namespace {

// The words with which users ask a console program for help, and for its
// version.
const char* const kHelpWords[] = {"--help", "-h", "-?", "/?"};
const char* const kVersionWord = "--version";

// Whether the one argument names nothing, so that a folder named like one of
// those words is still a folder.
bool namesNothing(const std::string& argument) {
  FileIdentity identity{};
  return !platformIdentityOf(argument.c_str(), &identity);
}

bool isHelpWord(const std::string& argument) {
  return std::find(std::begin(kHelpWords), std::end(kHelpWords), argument) != std::end(kHelpWords);
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
      if (isHelpWord(arguments[1]) && namesNothing(arguments[1])) return printUsage(false);
      if (arguments[1] == kVersionWord && namesNothing(arguments[1])) return printVersion();
      return runDirectoryMode(arguments[1], true);
    case 1:
      return runDirectoryMode(".", false);
    default:
      return printUsage();
  }
}
