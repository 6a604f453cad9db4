// The banner, the usage text and the version.

#include <cstdio>

#include "driver/driver.h"
#include "platform/console.h"
#include "version.h"

namespace {

const char* const kUsageText =
    "LOMVERA - Program for removing stripes from scans.\n"
    "\n"
    "usage:\n"
    "\n"
    "   lomvera input_file.tga output_file.tga => process single file\n"
    "   lomvera dir_name    => process all .tga files in the directory\n"
    "                          and append _s suffix to the file names.\n";

}  // namespace

void printBanner() { printNow("Lomvera %s (%s)\n\n", LOMVERA_VERSION, LOMVERA_RELEASE_DATE); }

int printUsage(bool waitForKey) {
  printNow("%s", kUsageText);
  if (!waitForKey) return kProcessed;
  printNow("\n\nPress ENTER");
  std::getchar();
  return kUsageShown;
}

int printVersion() {
  printNow("lomvera %s\n", LOMVERA_VERSION);
  return kProcessed;
}
