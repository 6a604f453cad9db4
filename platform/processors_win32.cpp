// How many processors this process may use, on Windows: those of its
// affinity mask.

#include "platform/platform.h"

#include <windows.h>

int platformUsableProcessorCount() {
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) return 1;
  int processors = 0;
  for (; processMask != 0; processMask &= processMask - 1) ++processors;
  return processors > 0 ? processors : 1;
}
