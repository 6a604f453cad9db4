#pragma once

// The stages of correction/ run as processFile runs them: on a picture read
// from a file, their corrected rows written to another.

#include "test_files.h"
#include "test_pictures.h"

// Writes `picture` (alpha kept) as a 32-bit file into the directory and opens
// it as inputImage, with lines as rows when linesAreRows and as columns
// otherwise; sets lineCount, lineLength and shiftTotal as processFile does
// and opens the output file of the stages.
void openForStages(const TemporaryDirectory& directory, const Raster& picture, bool linesAreRows);

// The same with the orientation processFile chooses: rows when the picture is
// wider than tall.
void openForStages(const TemporaryDirectory& directory, const Raster& picture);

// Closes the input, completes the output file of the stages and reads it
// back; an empty picture when either fails.
Raster savedStageOutput(const TemporaryDirectory& directory);
