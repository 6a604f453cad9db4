#include "platform/console.h"

#include <cstdarg>
#include <cstdio>
#include <iterator>

namespace {

// The reason of each kind of Failure, in its order; the reason's numbers
// fill in the %llu.
const char* const kFailureTexts[] = {
    "no failure",
    "not a TGA file",
    "run-length encoded (image type 10): save it uncompressed",
    "colour-mapped or greyscale (type %llu)",
    "%llu bits per pixel (24 and 32 are read)",
    "unusual pixel order or alpha bits (image descriptor 0x%02llX): save it as plain 24 or 32 bits",
    "shorter than its picture (%llu of %llu bytes)",
    "wider or taller than 32767",
    "cannot be read twice (a pipe or a terminal): write it to a file first",
    "no such file",
    "permission denied",
    "a folder",
    "cannot be read",
    "the folder does not exist",
    "the disk is full",
    "the file would be too large",
    "the input changed while it was read",
    "not enough memory",
    "would replace an input or a result of this run",
    "cannot be written",
};
static_assert(std::size(kFailureTexts) == static_cast<std::size_t>(Failure::kCannotWrite) + 1, "a text per failure");

}  // namespace

void printNow(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stdout, format, arguments);
  va_end(arguments);
  std::fflush(stdout);
}

// Standard error is unbuffered: nothing waits to be flushed.
void printError(const char* subject, const char* text, const char* detail) {
  std::fprintf(stderr, "lomvera: %s: %s%s\n", subject, text, detail);
}

// Piece by piece, to the one unbuffered stream: only the calling thread
// writes to standard error.
void printErrorList(const char* subject, const char* text, const char* const* items, int count, bool more) {
  std::fprintf(stderr, "lomvera: %s: %s", subject, text);
  for (int i = 0; i < count; ++i) std::fprintf(stderr, "%s%s", i > 0 ? ", " : "", items[i]);
  std::fprintf(stderr, "%s\n", more ? ", ..." : "");
}

// Nothing is allocated: memory may be what ran out.
void printFailure(const char* path, const FailureReason& why) {
  char reason[256];
  std::snprintf(reason, sizeof reason, kFailureTexts[static_cast<std::size_t>(why.kind)],
                static_cast<unsigned long long>(why.number), static_cast<unsigned long long>(why.ofNumber));
  char systemText[512] = "";
  char detail[sizeof systemText + 3] = "";
  if (why.systemError != 0) {
    platformErrorText(why.systemError, systemText, sizeof systemText);
    std::snprintf(detail, sizeof detail, " (%s)", systemText);
  }
  printError(path, reason, detail);
}
