#pragma once

// The small layer that stands in for the operating system: a millisecond
// tick counter, the processors the process may use, the command line,
// opening input files, replacing output files safely, file identities and
// the directory listing. One implementation per platform, chosen by the
// build. Paths and names are UTF-8 on Windows, and the
// file system's own bytes elsewhere.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Millisecond tick counter: an unsigned 32-bit count that wraps after
// 2^32 - 1 ms. Only differences taken in unsigned 32-bit arithmetic mean
// anything.
std::uint32_t platformTickCount();

// The number of processors this process may run on: those of its affinity
// mask (taskset, start /affinity) and, on Linux, no more than the CPU quota
// of its control group or of a group above it (cgroup v1 cpu.cfs_quota_us
// over cpu.cfs_period_us, v2 cpu.max), rounded up. At least 1.
int platformUsableProcessorCount();

#ifndef _WIN32
// The same count from the control groups of a system whose /proc and /sys
// lie under the folder `root` ("" for this one), for a process whose affinity
// mask has `affinityProcessors`: the tests give folders of their own making.
int platformUsableProcessorCountUnder(const std::string& root, int affinityProcessors);
#endif

// Prepares the process before any file is touched. On POSIX systems it
// ignores SIGXFSZ, so that a write beyond the file-size limit fails like any
// other write, and the save is abandoned cleanly, instead of ending the
// process with a half-written temporary file left behind; and SIGPIPE, so
// that a reader of the console messages that goes away (a pipe into head)
// does not end the run: the messages are only a report. Every other signal
// that ends a process by default and can be caught, save those of a crash
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
// SIGPROF, SIGXCPU, and on Linux SIGIO, SIGPWR, SIGSTKFLT and the real-time
// signals), first removes the named temporary file of an output being
// written, on whichever thread it arrives, and then ends the process as it
// would have; a signal the process was started to ignore, or that already
// has a handler, is left as it is. On Windows it sets the console to print
// UTF-8 for the rest of the run, and Ctrl+C, Ctrl+Break and the closing of
// the console first remove that file (platformConsoleControl).
void platformPrepareProcess();

// Keeps the signals that end the run (above) away from the calling thread, a
// thread kept for the stages' work, so that they are taken by the main
// thread: it alone writes and names outputs, and holds them back while it
// names or renames a temporary file. Nothing on Windows.
void platformKeepEndingSignalsFromThisThread();

// Process-wide tables that the tool touches in full for every file are
// aligned to this size, so that the system can back them with large pages
// (platformPreferLargePages): faulting in a few megabytes page by page costs
// more than correcting a small scan. Without large pages, a plain alignment.
#if defined(__linux__)
constexpr std::size_t kLargePageAlignment = std::size_t{2} << 20;
#else
constexpr std::size_t kLargePageAlignment = 64;
#endif

// Asks the system to back the memory of [start, start + bytes) with large
// pages where it can. Only advice: the memory works the same either way.
void platformPreferLargePages(void* start, std::size_t bytes);

// The separator placed between a directory string and a file name.
extern const char platformPathSeparator;

// Why a file was refused at loading or its result was not saved, as the
// user is told it (printFailure, console.h).
// The numbers that some of them name: the image type (kMappedOrGrey), the
// pixel depth (kBitsPerPixel), the image descriptor (kPixelLayout), the
// file's bytes and those its header promises (kShort). kNotSeekable is a
// pipe, a terminal or another device; kKeptFile an output that would replace
// an input or a result of the same run.
enum class Failure {
  kNone,
  kNotTga, kRunLength, kMappedOrGrey, kBitsPerPixel, kPixelLayout, kShort, kTooWide, kNotSeekable,
  kNoSuchFile, kPermission, kFolder, kCannotRead,
  kNoFolder, kDiskFull, kFileTooLarge, kInputChanged, kNoMemory, kKeptFile, kCannotWrite,
};
struct FailureReason {
  Failure kind = Failure::kNone;
  std::uint64_t number = 0;
  std::uint64_t ofNumber = 0;
  int systemError = 0;  // errno or GetLastError of the call that failed; 0 when the system did not refuse
};

// The reason of the system call that has just failed on this thread, read
// from errno or GetLastError at once: the system's code, and the kind the
// user is told, loading or saving. Memory that ran out is "not enough
// memory" whichever call met it, without the system's text, which would
// need memory of its own.
FailureReason platformLastFailure(bool saving);
// The system's own text for an error code, without a final full stop, into
// the `size` bytes at text (cut short where it does not fit). Allocates
// nothing: memory may be what ran out.
void platformErrorText(int systemError, char* text, std::size_t size);

// The command line's arguments, argv[0] first, into *arguments. On Windows
// they are read from the UTF-16 command line and given in UTF-8, so that
// names outside the system's code page come through; elsewhere they are argv
// as it is. False, with the reason in *why, when the system cannot give
// them: never the ANSI arguments instead, which can name another file.
bool platformArguments(int argc, char** argv, std::vector<std::string>* arguments, FailureReason* why);

// Opens an existing regular file for reading only, in binary mode.
// Returns null when the path is missing, unreadable, or names anything but a
// regular file (a directory, a pipe, a device), so that a read can never
// block on it; *why then holds the reason where one is known. On success
// *fileSize holds the file's length in bytes.
std::FILE* platformOpenInputFile(const char* path, std::uint64_t* fileSize, FailureReason* why);

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

// What makes a file the same file under any of its names (links, or
// spellings that a disk ignoring letter case takes as one): the volume it
// lies on and its number there.
struct FileIdentity {
  std::uint64_t volume;
  std::uint64_t file;
};
inline bool operator==(const FileIdentity& a, const FileIdentity& b) { return a.volume == b.volume && a.file == b.file; }
inline bool operator<(const FileIdentity& a, const FileIdentity& b) {
  return a.volume != b.volume ? a.volume < b.volume : a.file < b.file;
}
// The identity of the file that path names, links followed; false when no
// file is there or the system cannot tell.
bool platformIdentityOf(const char* path, FileIdentity* identity);

// How the data of an output reaches its file.
enum class OutputKind {
  // A new file without a name in the folder of the file replaced (Linux,
  // O_TMPFILE), so that a run ended in any way, kill -9 and power cuts
  // included, leaves nothing behind. It is named only to be renamed.
  kUnnamedFile,
  // A new file beside the file replaced, named ".lomvera-" and six letters
  // or digits (a name that does not end in ".tga"), renamed once complete:
  // where the file system offers no files without a name or refuses to name
  // them, and on Windows.
  kNamedTemporary,
  // A device or a pipe (/dev/null, a terminal, NUL), written directly.
  kDirect,
};

// An output file while it is written. A plain file's data goes to a new
// temporary file beside it, which takes its place only once it is complete.
struct OutputFile {
  std::FILE* file = nullptr;  // unbuffered: each write goes straight to the file
  OutputKind kind = OutputKind::kDirect;
  std::string temporaryPath;  // the temporary file's name for kNamedTemporary; empty otherwise
  std::string finalPath;      // the file replaced: the output's path with its symbolic links followed
  bool replacesFile = false;  // whether a plain file of that name exists
  FailureReason failure;      // why opening, writing or completing it failed, where that is known
};

// Opens an output for `path`. A path that is a symbolic link (or a chain of
// them) stands for the file it leads to, which is replaced, or created when
// the last link dangles; the temporary file lies in that file's folder. A
// link to a folder, or a Windows junction, is refused as a folder is; so is,
// on Windows, a link whose file the system cannot tell. A Windows link leads
// where the system takes it: a relative target from the folder that the
// link really lies in, a rooted one ("\dir\x.tga") on that folder's drive. The
// temporary file gets the permissions that the output should end up with:
// those of an existing file, otherwise those of an ordinarily created file.
// A file without a name is chosen only where the file system, tried on an
// empty one of its own, also gives such a file a name (a sandbox may forbid
// that, EPERM), since the save needs one at its end. Signals that end the
// run wait from the creation of any named file until their handler knows it.
// Returns false, creating nothing, when the folder does not allow it, or when
// an existing file of that name is neither a plain file nor a device or pipe
// that can be opened for writing at once (a pipe nobody reads is refused
// rather than waited for), or could not be opened for writing; the reason,
// where it is known, is then in output->failure.
bool platformOpenOutput(const char* path, OutputFile* output);

// Completes an output opened by platformOpenOutput. With `written` true, the
// data is handed down to the storage device when it replaces an existing
// file (so that a crash soon after cannot leave an empty file where the
// picture was, the input itself when a scan is corrected in place; a new
// output lost in a crash is simply made again, and waiting for the disk costs
// as much as the whole correction), then the file is closed and takes the
// place of finalPath in one step (a file without a name is first given a
// temporary one beside it, for as long as closing it takes; signals that end
// the run wait meanwhile). Returns true on success. With `written`
// false, or when any step fails, the temporary file is removed, an existing
// file of that name keeps its bytes, and the result is false, with the reason
// of a failed step in output->failure. A device or pipe is only closed: what
// was written to it stays written.
bool platformFinishOutput(OutputFile* output, bool written);

// For the platform layer's own use. refuseOutput keeps why an output cannot
// be opened, written or completed: the kind given, or by default the
// system's reason for the call that has just failed; false. holdOutput makes
// the opened file the output's, unbuffered, so that each write goes straight
// to the file; true. The paths are moved in: nothing is allocated once the
// file exists.
bool refuseOutput(OutputFile* output, Failure kind = Failure::kNone);
bool holdOutput(OutputFile* output, std::FILE* file, OutputKind kind, std::string temporaryPath, std::string finalPath,
                bool replacesFile);

// For the tests: whether outputs may be written to files without a name
// (true at the start), so that the named temporary files of file systems
// without them can be tried anywhere. Windows has no such files.
void platformAllowUnnamedOutputs(bool allowed);

#ifdef _WIN32
// The console control handler that platformPrepareProcess installs, for the
// tests to call as the system would on Ctrl+C, Ctrl+Break or the closing of
// the console: the temporary file of an output being written is marked to go
// with its last handle, so that nothing is left when the process ends, and
// the result is false, so that the system then ends the process as it does
// for that event. Until it has, platformOpenOutput creates no temporary file
// and returns false: a folder run takes no further file.
int platformConsoleControl(unsigned long event);
// For the tests: outputs are opened again after platformConsoleControl, as in
// a process that met no such event.
void platformAllowOutputsAgain();
#endif

// One entry of a directory listing.
struct DirectoryEntry {
  std::string name;    // the entry's name, without the directory
  // Whether the entry is taken as a file: a plain file, links followed. On
  // POSIX systems, where the file's own kind cannot be learnt (a folder that
  // may be listed but not searched), also an entry that the listing calls a
  // file, or calls a link or nothing; its loading then fails with its own
  // error. On Windows, anything but a folder.
  bool isRegularFile;
};

// What a directory listing found the directory string to name.
enum class ListingStatus {
  kListed,         // an existing directory, listed, whether or not it holds any entry asked for
  kCannotOpen,     // nothing, or a directory that cannot be opened for listing
  kNotADirectory,  // something that exists but is no directory: a file, most often
  kBrokenOff,      // a directory whose listing failed part-way: none of its entries can be trusted
};

struct TgaListing {
  ListingStatus status;
  std::vector<DirectoryEntry> entries;  // empty unless the status is kListed
  FailureReason why;                    // for kCannotOpen and kBrokenOff: why the system refused
};

// Whether a file name ends in ".tga" in any letter case, the names the
// listing below takes. Nothing before the name is read, however short it is.
bool nameEndsWithTga(const char* name);

// Lists the entries of directory whose names end in ".tga" in any letter
// case, in the order the platform lists them: on POSIX systems sorted by
// name with a-z folded to upper case, on Windows in the directory search's
// own order. A listing that the system ends with an error, however far it
// got, is no listing (kBrokenOff). An allocation that fails throws, and
// leaves nothing open.
TgaListing platformListTgaEntries(const std::string& directory);
