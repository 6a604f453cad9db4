#pragma once

// The command line, the road of one file through the system, and directory
// batch mode. command_line.cpp calls directory_mode.cpp, which calls
// process_file.cpp; usage.cpp serves the first two and kept_files.cpp the
// last two.

#include <cstdint>
#include <string>

#include "platform/platform.h"

// Totals of the run: files processed and saved, and the sum of their average
// shifts. They only grow.
extern std::int32_t filesDone;
extern double averageShiftSum;

// Index 0: lines are columns; index 1: lines are rows.
extern const char* const orientationNames[2];

// Per-file results of processFile, which are also the exit statuses of a
// single-file run; kUsageShown is the exit status after the usage text. Of
// two file results, the larger is the worse.
constexpr int kProcessed = 0;
constexpr int kUsageShown = 1;
constexpr int kCannotLoad = 2;
constexpr int kCannotSave = 3;

void printBanner();

// Prints the usage text, waits for one character of standard input, and
// returns kUsageShown; for a user who asked for help, without the wait,
// returning kProcessed.
int printUsage(bool waitForKey = true);
// Prints "lomvera" and the version on one line, for a user who asked for it;
// returns kProcessed.
int printVersion();

// Loads inputPath, removes its stripes, saves the result to outputPath and
// prints the report line. Returns kProcessed, kCannotLoad or kCannotSave; a
// failed file's reason goes to standard error (printFailure), and memory that
// runs out fails the file like any other cause, leaving nothing of its output.
// The result is not saved (kCannotSave) when the input could not be read
// through or changed while it was read.
int processFile(const char* inputPath, const char* outputPath);

// The three stages, in order.
void runStages();

// Seconds between two tick counts, taken as an unsigned 32-bit difference so
// that a wrap of the counter between them does not matter.
double elapsedSeconds(std::uint32_t startTicks, std::uint32_t endTicks);

// The files that no save may replace during a directory run: its collected
// inputs and the results already written, so that a result never lands on an
// input of the same run, nor on the result of another input whose name
// differs only in letter case (kept_files.cpp). Nothing is kept in a
// single-file run. prepareKeptFiles makes room for `files` kept files
// (throwing when memory runs out); keepFromReplacement then allocates
// nothing for that many, and keeps the path by its address: it must live
// until forgetKeptFiles.
void prepareKeptFiles(std::size_t files);
void keepFromReplacement(const std::string& path);
// Whether a save may replace outputPath: not when it is a kept path, nor when
// it names, under any spelling, a file that a kept path named when it was
// kept (an output not there yet has no identity).
bool mayReplace(const char* outputPath);
// Forgets every kept file and gives their room back, at the end of a
// directory run.
void forgetKeptFiles();

// Directory batch mode over `directory`; commandLineNamedIt tells whether the
// directory came from the command line or is the current one. Returns the
// exit status: the worst result of its files, kProcessed when it took none;
// kCannotLoad, after its error line and its reason, when the named directory
// cannot be listed, when any listing breaks off part-way, or when memory
// runs out before the first file (nothing is then taken); kUsageShown after
// the usage text, when the command line named no directory and none was
// taken, or named something that is no directory. Memory that runs out
// during a file fails that file alone. A run in which files failed ends with
// a line on standard error: how many, and the first names.
int runDirectoryMode(const std::string& directory, bool commandLineNamedIt);

// One collected input file, with its result's path, made before any file is
// taken. New nodes go to the head of fileList, so the list holds the files in
// the reverse of the listing order.
struct FileNode {
  std::string path;
  std::string outputPath;
  bool failed;  // whether its processFile failed
  FileNode* next;
};
extern FileNode* fileList;

// Collects the directory's input files into fileList (newest entry first),
// and tells what the directory string was found to name, with the system's
// reason in *why where the listing failed.
ListingStatus scanDirectory(const std::string& directory, FailureReason* why = nullptr);
// Empties fileList.
void releaseFileList();

// The result name for an input path: its last four characters replaced by "_s.tga".
std::string resultPathFor(const std::string& inputPath);

// The entry point's work: banner, then a single-file run, directory mode or
// the usage text, by the number of arguments; one argument that asks for
// help (--help, -h, -?, /?) or the version (--version) and names nothing gets
// printHelp or printVersion instead. Returns the exit status.
int runCommandLine(int argc, char** argv);
