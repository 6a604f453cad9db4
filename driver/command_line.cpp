// The entry point's work: the banner, then the run the arguments ask for.

#include "driver/driver.h"
#include "platform/platform.h"

int runCommandLine(int argc, char** argv) {
  platformPrepareProcess();
  printBanner();
  switch (argc) {
    case 3:
      return processFile(argv[1], argv[2]);
    case 2:
      return runDirectoryMode(argv[1], true);
    case 1:
      return runDirectoryMode(".", false);
    default:
      return printUsage();
  }
}
