// What the platform layer does alike on every platform: which file names a
// directory listing takes, and how an output keeps its file and its failure.

#include "platform/platform.h"

#include <cstring>
#include <utility>

bool nameEndsWithTga(const char* name) {
  const std::size_t length = std::strlen(name);
  // Shorter names have no room for the ending: nothing before the name is read.
  if (length < 4) return false;
  const char* ending = name + length - 4;
  return ending[0] == '.' && (ending[1] | 0x20) == 't' && (ending[2] | 0x20) == 'g' && (ending[3] | 0x20) == 'a';
}

bool refuseOutput(OutputFile* output, Failure kind) {
  output->failure = kind == Failure::kNone ? platformLastFailure(true) : FailureReason{kind};
  return false;
}

bool holdOutput(OutputFile* output, std::FILE* file, OutputKind kind, std::string temporaryPath, std::string finalPath,
                bool replacesFile) {
  std::setvbuf(file, nullptr, _IONBF, 0);
  output->file = file;
  output->kind = kind;
  output->temporaryPath = std::move(temporaryPath);
  output->finalPath = std::move(finalPath);
  output->replacesFile = replacesFile;
  return true;
}
