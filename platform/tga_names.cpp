// Which file names a directory listing takes, the same on every platform.

#include "platform/platform.h"

#include <cstring>

bool nameEndsWithTga(const char* name) {
  const std::size_t length = std::strlen(name);
  // Shorter names have no room for the ending: nothing before the name is read.
  if (length < 4) return false;
  const char* ending = name + length - 4;
  return ending[0] == '.' && (ending[1] | 0x20) == 't' && (ending[2] | 0x20) == 'g' && (ending[3] | 0x20) == 'a';
}
