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

// Creates a new, empty temporary file for writing in the directory of
// finalPath, under a name that does not end in ".tga", and stores that name
// in temporaryPath. The temporary file gets the permissions that finalPath
// should end up with: those of an existing file of that name, otherwise
// those of an ordinarily created file. Returns null (creating nothing) when
// the directory does not allow it, or when an existing finalPath could not be
// opened for writing. *replacesFile tells whether a file of that name exists.
std::FILE* platformCreateTemporaryBeside(const char* finalPath, std::string* temporaryPath, bool* replacesFile);

// Hands the data written to file down to the storage device. Returns false
// when that fails, as it can when the device reports a write error late.
// Called before a finished temporary file takes the place of an existing
// file, so that a crash soon after cannot leave an empty file where the
// picture was (the input itself, when a scan is corrected in place).
bool platformSyncFile(std::FILE* file);

// Puts temporaryPath in the place of finalPath in one step, replacing any file
// of that name. Returns true on success; on failure both files are unchanged.
bool platformReplaceFile(const char* temporaryPath, const char* finalPath);

// Removes a file; failures are ignored (used to clean up temporary files).
void platformRemoveFile(const char* path);

// Zero-filled storage for a picture's pixels. Large blocks come straight
// from the system with all their pages at once, and with hugePages set the
// system is asked to back them with huge pages where it can (on Linux,
// transparent huge pages through madvise). Returns null when the storage
// cannot be had. A block must be freed with platformFreePixelStorage and the
// same byte count.
void* platformAllocatePixelStorage(std::size_t bytes, bool hugePages);
void platformFreePixelStorage(void* storage, std::size_t bytes);

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
