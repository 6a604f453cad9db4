// POSIX implementation of the platform layer.

#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

const char platformPathSeparator = '/';

namespace {

// The named temporary file of the output being written, for the signal
// handler.
char pendingTemporary[PATH_MAX + 32];
volatile std::sig_atomic_t temporaryPending = 0;

// Whether outputs may go to files without a name (platformAllowUnnamedOutputs).
bool unnamedOutputsAllowed = true;

// The signals that end the run and that the handler below is for: every
// signal whose default action ends the process and that can be caught, but
// SIGPIPE and SIGXFSZ, which the run ignores, and those of a crash (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS), after which nothing the
// process holds can be trusted. The real-time signals join them at run time.
constexpr int kEndingSignals[] = {
    SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
#if defined(SIGIO)
    SIGIO,
#endif
#if defined(SIGPWR)
    SIGPWR,
#endif
#if defined(SIGSTKFLT)
    SIGSTKFLT,
#endif
};

// Calls use(signal) for each of them and for the real-time signals.
template <typename Use>
void forEachEndingSignal(Use use) {
  for (const int signalNumber : kEndingSignals) use(signalNumber);
#if defined(SIGRTMIN)
  for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) use(signalNumber);
#endif
}

// Those of them that the handler took over (removeTemporaryOn).
sigset_t endingSignals;

// A signal that ends the run (Ctrl+C, Ctrl+\, kill, a closed terminal, a
// timer) while a result is written: the temporary file is removed, then the
// signal ends the process as it would have. Only the main thread takes it:
// the threads kept for the stages keep these signals away
// (platformKeepEndingSignalsFromThisThread), and while the name is written or
// the file renamed the main thread holds them back (holdEndingSignals).
extern "C" void removeTemporaryAndEnd(int signalNumber) {
  if (temporaryPending != 0) unlink(pendingTemporary);
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
}

// Takes over a signal that still has its default action: one the process
// was started to ignore (nohup, a background job) stays ignored, and one
// that already has a handler (a profiler's) keeps it.
void removeTemporaryOn(int signalNumber) {
  struct sigaction current {};
  if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
  std::signal(signalNumber, removeTemporaryAndEnd);
  sigaddset(&endingSignals, signalNumber);
}

// The signals that end the run wait, pending, while one of these lives: no
// named file then appears or goes unknown to their handler. They come again
// however its scope is left, an allocation that failed included.
struct EndingSignalsHeld {
  sigset_t before;
  EndingSignalsHeld() { pthread_sigmask(SIG_BLOCK, &endingSignals, &before); }
  ~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
};

}  // namespace

void platformPrepareProcess() {
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  sigemptyset(&endingSignals);
  forEachEndingSignal(removeTemporaryOn);
}

void platformKeepEndingSignalsFromThisThread() {
  sigset_t ending;
  sigemptyset(&ending);
  forEachEndingSignal([&ending](int signalNumber) { sigaddset(&ending, signalNumber); });
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
}

void platformPreferLargePages(void* start, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  madvise(start, bytes, MADV_HUGEPAGE);
#else
  (void)start;
  (void)bytes;
#endif
}

bool platformArguments(int argc, char** argv, std::vector<std::string>* arguments, FailureReason*) {
  arguments->assign(argv, argv + argc);
  return true;
}

std::uint32_t platformTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t milliseconds =
      static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(milliseconds);
}

FailureReason platformLastFailure(bool saving) {
  const int error = errno;
  Failure kind = saving ? Failure::kCannotWrite : Failure::kCannotRead;
  if (error == ENOENT || error == ENOTDIR) kind = saving ? Failure::kNoFolder : Failure::kNoSuchFile;
  if (error == EACCES || error == EPERM || error == EROFS) kind = Failure::kPermission;
  if (error == ENOSPC || error == EDQUOT) kind = Failure::kDiskFull;
  if (error == EFBIG) kind = Failure::kFileTooLarge;
  if (error == ENOMEM) return FailureReason{Failure::kNoMemory};
  return FailureReason{kind, 0, 0, error};
}

void platformErrorText(int systemError, char* text, std::size_t size) {
  std::snprintf(text, size, "%s", std::strerror(systemError));
}

std::FILE* platformOpenInputFile(const char* path, std::uint64_t* fileSize, FailureReason* why) {
  // O_NONBLOCK keeps the open itself from waiting for a writer when the path
  // names a pipe; such files are refused right after.
  const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) {
    *why = platformLastFailure(false);
    return nullptr;
  }
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    *why = FailureReason{S_ISDIR(status.st_mode) ? Failure::kFolder : Failure::kNotSeekable};
    close(descriptor);
    return nullptr;
  }
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags >= 0) fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* file = fdopen(descriptor, "rb");
  if (file == nullptr) {
    *why = platformLastFailure(false);
    close(descriptor);
    return nullptr;
  }
  *fileSize = static_cast<std::uint64_t>(status.st_size);
  return file;
}

bool platformReadAt(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t bytes) {
  const int descriptor = fileno(file);
  auto* to = static_cast<unsigned char*>(buffer);
  while (bytes > 0) {
    const ssize_t got = pread(descriptor, to, bytes, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    to += got;
    bytes -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool platformStampOf(std::FILE* file, FileStamp* stamp) {
  struct stat status {};
  if (fstat(fileno(file), &status) != 0) return false;
  stamp->size = static_cast<std::uint64_t>(status.st_size);
  stamp->modified = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  return true;
}

bool platformIdentityOf(const char* path, FileIdentity* identity) {
  struct stat status {};
  if (stat(path, &status) != 0) return false;
  identity->volume = static_cast<std::uint64_t>(status.st_dev);
  identity->file = static_cast<std::uint64_t>(status.st_ino);
  return true;
}

static std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Follows the chain of symbolic links that *path may be, leaving in it the
// path of the file the chain ends at, which need not exist: a dangling link
// stands for the file it would lead to. False when a link cannot be read or
// the chain is longer than the system would follow.
static bool followLinks(std::string* path) {
  for (int links = 0; links < 40; ++links) {
    struct stat status {};
    if (lstat(path->c_str(), &status) != 0) return errno == ENOENT;
    if (!S_ISLNK(status.st_mode)) return true;
    char target[PATH_MAX];
    const ssize_t length = readlink(path->c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return false;
    const std::string next(target, static_cast<std::size_t>(length));
    const std::string folder = directoryOf(*path);
    *path = next[0] == '/' ? next : (folder == "/" ? folder : folder + "/") + next;
  }
  errno = ELOOP;
  return false;
}

// The permission bits of an ordinarily created file: 0666 less the umask.
static mode_t ordinaryFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// Temporary files are named this and six letters or digits.
static const char kTemporaryPrefix[] = ".lomvera-";

// Tells the signal handler the named temporary file to remove.
static void markPending(const std::string& name) {
  if (name.size() >= sizeof pendingTemporary) return;
  std::memcpy(pendingTemporary, name.c_str(), name.size() + 1);
  // The name is complete before the handler may read it.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  temporaryPending = 1;
}

// The path of a temporary file in the folder, its six letters still
// "XXXXXX": made before the file, so that nothing is allocated while a
// descriptor or a named file could be left behind.
static std::string temporaryPattern(const std::string& folder) { return folder + "/" + kTemporaryPrefix + "XXXXXX"; }

// The path under which /proc shows the file open as `descriptor`, in place.
struct ProcPath {
  char text[32];
};
static ProcPath procPathOf(int descriptor) {
  ProcPath path{};
  std::snprintf(path.text, sizeof path.text, "/proc/self/fd/%d", descriptor);
  return path;
}

// Gives a file without a name the temporary name *name (temporaryPattern),
// its six letters chosen here; false, with *name emptied, when that fails.
// Allocates nothing. The link is made from the file's entry in /proc, which
// any user may do; linking the descriptor itself (AT_EMPTY_PATH) needs a
// privilege that the tool does not have or want.
static bool nameUnnamed(int descriptor, std::string* name) {
  const char* const letters = "abcdefghijklmnopqrstuvwxyz0123456789";
  static std::uint32_t state = static_cast<std::uint32_t>(getpid()) << 16 ^ platformTickCount();
  const ProcPath from = procPathOf(descriptor);
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (std::size_t i = name->size() - 6; i < name->size(); ++i) {
      state = state * 1664525u + 1013904223u;
      (*name)[i] = letters[(state >> 16) % 36];
    }
    if (linkat(AT_FDCWD, from.text, AT_FDCWD, name->c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != EEXIST) break;
  }
  name->clear();
  return false;
}

#if defined(O_TMPFILE)
// Whether the folder's file system gives a file without a name a name, as
// the save of one needs at its end: some refuse it (a sandbox that forbids
// linkat, EPERM) while they create such files. Tried on an empty file of its
// own, named and removed at once, while the signals that end the run wait.
static bool namesUnnamedFilesIn(const std::string& folder) {
  std::string name = temporaryPattern(folder);
  const int probe = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (probe < 0) return false;
  const bool named = nameUnnamed(probe, &name);
  close(probe);
  if (named) unlink(name.c_str());
  return named;
}
#endif

// A new file without a name in the folder (O_TMPFILE), opened for writing:
// nothing shows it, and it goes with its last descriptor however the process
// ends. -1 where the system or the file system does not offer such files or
// will not name them (the caller then names its file), and where /proc does
// not show the file, through which it is named once complete (nameUnnamed).
static int openUnnamedIn(const std::string& folder, mode_t mode) {
#if defined(O_TMPFILE)
  if (!unnamedOutputsAllowed || !namesUnnamedFilesIn(folder)) return -1;
  const int descriptor = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (descriptor < 0) return -1;
  struct stat file {}, shown {};
  if (fstat(descriptor, &file) != 0 || stat(procPathOf(descriptor).text, &shown) != 0 || file.st_dev != shown.st_dev ||
      file.st_ino != shown.st_ino) {
    close(descriptor);
    return -1;
  }
  return descriptor;
#else
  (void)folder;
  (void)mode;
  return -1;
#endif
}

static bool isDeviceOrPipe(const struct stat& status) { return S_ISCHR(status.st_mode) || S_ISFIFO(status.st_mode); }

// A character device or a pipe is written where it is: there is no file to
// put in its place. O_NONBLOCK makes the open of a pipe that nobody reads
// fail (ENXIO) instead of waiting for a reader; the writes then block as
// usual.
static bool openDirectOutput(const char* path, OutputFile* output) {
  std::string finalPath = path;
  const int descriptor = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return refuseOutput(output);
  struct stat status {};
  const int flags = fcntl(descriptor, F_GETFL);
  std::FILE* file = nullptr;
  if (fstat(descriptor, &status) == 0 && isDeviceOrPipe(status) && flags >= 0 &&
      fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0) {
    file = fdopen(descriptor, "wb");
    if (file == nullptr) refuseOutput(output);
  }
  if (file == nullptr) {
    close(descriptor);
    return false;
  }
  return holdOutput(output, file, OutputKind::kDirect, "", std::move(finalPath), false);
}

bool platformOpenOutput(const char* path, OutputFile* output) {
  // stat follows the links the way the system does, those of /proc included
  // (/dev/stdout leads to "pipe:[...]" for a pipe).
  output->failure = FailureReason{};
  struct stat named {};
  const bool exists = stat(path, &named) == 0;
  if (!exists && errno != ENOENT) return refuseOutput(output);
  if (exists && isDeviceOrPipe(named)) return openDirectOutput(path, output);
  if (exists && S_ISDIR(named.st_mode)) return refuseOutput(output, Failure::kFolder);
  if (exists && !S_ISREG(named.st_mode)) return false;

  std::string finalPath = path;
  if (!followLinks(&finalPath)) return refuseOutput(output);
  mode_t mode = ordinaryFileMode();
  if (exists) {
    // The chain must end at the file the system found (a link to a deleted
    // file, in /proc, names none), and a file that could not be opened for
    // writing is not replaced either, just as writing it in place would fail.
    struct stat reached {};
    if (stat(finalPath.c_str(), &reached) != 0 || reached.st_dev != named.st_dev || reached.st_ino != named.st_ino) {
      return false;
    }
    const int probe = open(finalPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) return refuseOutput(output);
    close(probe);
    mode = named.st_mode & 07777;
  }

  // The mode of an O_TMPFILE file is cut by the umask like any other, and
  // mkstemp's is 0600: fchmod gives both the output's own.
  const std::string folder = directoryOf(finalPath);
  std::string name = temporaryPattern(folder);
  std::FILE* file = nullptr;
  {
    const EndingSignalsHeld held;
    int descriptor = openUnnamedIn(folder, mode);
    if (descriptor >= 0) name.clear();
    else if ((descriptor = mkstemp(&name[0])) >= 0) markPending(name);
    if (descriptor >= 0 && fchmod(descriptor, mode) == 0) file = fdopen(descriptor, "wb");
    if (file == nullptr) {
      refuseOutput(output);
      if (descriptor >= 0) close(descriptor);
      if (descriptor >= 0 && !name.empty()) unlink(name.c_str());
      temporaryPending = 0;
    }
  }
  if (file == nullptr) return false;
  const OutputKind kind = name.empty() ? OutputKind::kUnnamedFile : OutputKind::kNamedTemporary;
  return holdOutput(output, file, kind, std::move(name), std::move(finalPath), exists);
}

bool platformFinishOutput(OutputFile* output, bool written) {
  if (output->file == nullptr) return false;
  // A step that fails gives the reason, read at once from errno; none runs
  // after one fails but the closing, which does not fail after a failed write.
  const auto step = [output](bool done) { return done || refuseOutput(output); };
  written = written && step(std::fflush(output->file) == 0 && std::ferror(output->file) == 0);
  if (written && output->replacesFile) written = step(fsync(fileno(output->file)) == 0);
  if (output->kind == OutputKind::kDirect) {
    written = step(std::fclose(output->file) == 0) && written;
    output->file = nullptr;
    return written;
  }
  // From here until the temporary file is in place or gone, a signal that
  // ends the run waits, so that it never ends between the naming of a file
  // without a name and its renaming. The name is kept in the output itself,
  // so that abandoning it allocates nothing (memory may have run out); the
  // name a file without one is to take is made before anything is held.
  std::string& temporary = output->temporaryPath;
  const bool naming = output->kind == OutputKind::kUnnamedFile && written;
  if (naming) temporary = temporaryPattern(directoryOf(output->finalPath));
  const EndingSignalsHeld held;
  if (naming && (written = step(nameUnnamed(fileno(output->file), &temporary)))) markPending(temporary);
  written = step(std::fclose(output->file) == 0) && written;
  output->file = nullptr;
  const bool placed = written && step(std::rename(temporary.c_str(), output->finalPath.c_str()) == 0);
  if (!placed && !temporary.empty()) unlink(temporary.c_str());
  temporaryPending = 0;
  return placed;
}

void platformAllowUnnamedOutputs(bool allowed) { unnamedOutputsAllowed = allowed; }

static unsigned char foldToUpper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// The listing order: byte by byte with a-z folded to upper case, ties broken
// by the unfolded bytes, the order in which the Windows file system lists
// names, so that a directory gives the same outputs on every platform.
static bool listsBefore(const DirectoryEntry& left, const DirectoryEntry& right) {
  const std::string& a = left.name;
  const std::string& b = right.name;
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const unsigned char x = foldToUpper(static_cast<unsigned char>(a[i]));
    const unsigned char y = foldToUpper(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

// Why a directory could not be opened for listing: the string names
// something that is no directory (links followed), or nothing it can reach,
// or a directory that cannot be read.
static ListingStatus whyNotListed(const std::string& directory) {
  struct stat status {};
  const bool existsAsOther = stat(directory.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
  return existsAsOther ? ListingStatus::kNotADirectory : ListingStatus::kCannotOpen;
}

// Whether a listed entry is taken as a file. stat follows links, so that a
// link to a directory counts as a directory, and decides whenever it can.
// Where it fails, the entry's own type in the listing decides, as the
// attributes of the Windows listing do; and where that type is no help (a
// link, or a file system that gives none) while stat fails for another reason
// than the entry's absence, as in a folder that may be listed but not
// searched, the entry counts as a file too: its loading then fails with its
// own error line, instead of the file being passed over in silence. A link
// that leads nowhere is left out.
static bool isTakenAsFile(const std::string& path, unsigned char entryType) {
  struct stat status {};
  if (stat(path.c_str(), &status) == 0) return S_ISREG(status.st_mode);
  if (entryType == DT_REG) return true;
  const bool kindUnknown = entryType == DT_LNK || entryType == DT_UNKNOWN;
  return kindUnknown && errno != ENOENT;
}

// Closes a listing however its scope is left, an allocation that failed
// included.
struct ListingClosing {
  DIR* listing;
  ~ListingClosing() { closedir(listing); }
};

TgaListing platformListTgaEntries(const std::string& directory) {
  TgaListing result{ListingStatus::kListed, {}, {}};
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) {
    result.why = platformLastFailure(false);
    result.status = whyNotListed(directory);
    return result;
  }
  const ListingClosing closing{listing};
  for (;;) {
    // readdir tells the end of the listing from a failure only by errno.
    errno = 0;
    const dirent* entry = readdir(listing);
    if (entry == nullptr && errno != 0) {
      result.why = platformLastFailure(false);
      result.status = ListingStatus::kBrokenOff;
      result.entries.clear();
      return result;
    }
    if (entry == nullptr) break;
    if (!nameEndsWithTga(entry->d_name)) continue;
    const std::string path = directory + platformPathSeparator + entry->d_name;
    result.entries.push_back(DirectoryEntry{entry->d_name, isTakenAsFile(path, entry->d_type)});
  }
  std::sort(result.entries.begin(), result.entries.end(), listsBefore);
  return result;
}
