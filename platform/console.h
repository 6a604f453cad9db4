#pragma once

#include "platform/platform.h"

// Console output: every message goes to standard output and is flushed at
// once, so that progress dots show the moment they are printed.
void printNow(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A line on standard error, "lomvera: SUBJECT: TEXT" and the detail: the
// reasons of failures, which the report on standard output does not give.
void printError(const char* subject, const char* text, const char* detail = "");
// The same line with `count` items after the text, separated by ", ", and
// ", ..." when more were left out. Allocates nothing.
void printErrorList(const char* subject, const char* text, const char* const* items, int count, bool more);

// Tells on standard error why the file at path was refused or not saved:
// "lomvera: PATH: REASON", and the system's own text in brackets where the
// system refused it.
void printFailure(const char* path, const FailureReason& why);
