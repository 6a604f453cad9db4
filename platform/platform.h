#pragma once

// The small layer that stands in for the operating system: a millisecond
// tick counter, opening input files, replacing output files safely, and the
// directory listing. One implementation per platform, chosen by the build.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Millisecond tick counter: an unsigned 32-bit count that wraps after
// 2^32 - 1 ms. Only differences taken in unsigned 32-bit arithmetic mean
// anything.
std::uint32_t platformTickCount();

// Prepares the process before any file is touched. On POSIX systems it
// ignores SIGXFSZ, so that a write beyond the file-size limit fails like any
// other write, and the save is abandoned cleanly, instead of ending the
// process with a half-written temporary file left behind.
void platformPrepareProcess();

// The separator placed between a directory string and a file name.
extern const char platformPathSeparator;

// Opens an existing regular file for reading only, in binary mode.
// Returns null when the path is missing, unreadable, or names anything but a
// regular file (a directory, a pipe, a device), so that a read can never
// block on it. On success *fileSize holds the file's length in bytes.
std::FILE* platformOpenInputFile(const char* path, std::uint64_t* fileSize);

// Reads exactly `bytes` bytes from `offset` of a file opened by
// platformOpenInputFile. Returns false on an error or when the file ends
// before them.
bool platformReadAt(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t bytes);

// What tells whether a file changed between two readings of it: its length
// and its modification time.
struct FileStamp {
  std::uint64_t size;
  std::int64_t modified;  // in the platform's own units
};
inline bool operator==(const FileStamp& a, const FileStamp& b) { return a.size == b.size && a.modified == b.modified; }
// The stamp of an open file; false when the system cannot tell it.
bool platformStampOf(std::FILE* file, FileStamp* stamp);

// An output file while it is written: the data goes to a new temporary file
// beside the output, under a name that does not end in ".tga", which takes
// the output's place only once it is complete.
struct OutputFile {
  std::FILE* file = nullptr;  // unbuffered: each write goes straight to the file
  std::string temporaryPath;  // where the data goes until it is complete
  bool replacesFile = false;  // whether a file of the output's name exists
};

// Opens an output for `path`. The temporary file gets the permissions that
// the output should end up with: those of an existing file of that name,
// otherwise those of an ordinarily created file. Returns false, creating
// nothing, when the directory does not allow it, or when an existing file of
// that name is not a plain file or could not be opened for writing.
bool platformOpenOutput(const char* path, OutputFile* output);

// Completes an output opened by platformOpenOutput. With `written` true, the
// data is handed down to the storage device when it replaces an existing
// file (so that a crash soon after cannot leave an empty file where the
// picture was, the input itself when a scan is corrected in place; a new
// output lost in a crash is simply made again, and waiting for the disk costs
// as much as the whole correction), then the file is closed and takes the
// place of `path` in one step. Returns true on success. With `written` false,
// or when any step fails, the temporary file is removed, an existing file of
// that name keeps its bytes, and the result is false.
bool platformFinishOutput(OutputFile* output, const char* path, bool written);

// One entry of a directory listing.
struct DirectoryEntry {
  std::string name;    // the entry's name, without the directory
  bool isRegularFile;  // false for directories and anything else not a plain file
};

// Lists the entries of directory that the search pattern "*.tga" finds, in
// the order the platform lists them. On POSIX systems these are the names
// ending in ".tga" in any letter case, sorted by name with a-z folded to
// upper case; on Windows it is the directory search's own matching (without
// regard to case) and its own order. A directory that does not exist, cannot
// be read, or names a file gives an empty list.
std::vector<DirectoryEntry> platformListTgaEntries(const std::string& directory);
