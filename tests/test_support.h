#pragma once

// Everything the tests share, by job: pictures and TGA files, files and
// temporary directories, running the tool, and the tool's console text.

#include "console_text.h"
#include "test_files.h"
#include "test_pictures.h"
#include "tool_runs.h"
