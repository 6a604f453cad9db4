#pragma once

// Console output: every message goes to standard output and is flushed at
// once, so that progress dots show the moment they are printed.
void printNow(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
