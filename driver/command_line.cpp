// The entry point's work: the banner, then the run the arguments ask for.

#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/platform.h"

int runCommandLine(int argc, char** argv) {
  platformPrepareProcess();
  const std::vector<std::string> arguments = platformArguments(argc, argv);
  printBanner();
  switch (arguments.size()) {
    case 3:
      return processFile(arguments[1].c_str(), arguments[2].c_str());
    case 2:
      return runDirectoryMode(arguments[1], true);
    case 1:
      return runDirectoryMode(".", false);
    default:
      return printUsage();
  }
}
