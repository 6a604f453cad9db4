// POSIX implementation of the platform layer.

#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char platformPathSeparator = '/';

void platformPrepareProcess() { std::signal(SIGXFSZ, SIG_IGN); }

std::uint32_t platformTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t milliseconds =
      static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(milliseconds);
}

std::FILE* platformOpenInputFile(const char* path, std::uint64_t* fileSize) {
  // O_NONBLOCK keeps the open itself from waiting for a writer when the path
  // names a pipe; such files are refused right after.
  const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(descriptor);
    return nullptr;
  }
  const int flags = fcntl(descriptor, F_GETFL);
  if (flags >= 0) fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* file = fdopen(descriptor, "rb");
  if (file == nullptr) {
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

static std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The permission bits of an ordinarily created file: 0666 less the umask.
static mode_t ordinaryFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

bool platformOpenOutput(const char* path, OutputFile* output) {
  mode_t mode = ordinaryFileMode();
  struct stat existing {};
  output->replacesFile = stat(path, &existing) == 0;
  if (output->replacesFile) {
    // Only a regular file is ever replaced; one that could not be opened for
    // writing is not replaced either, just as writing it in place would fail.
    if (!S_ISREG(existing.st_mode)) return false;
    const int probe = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) return false;
    close(probe);
    mode = existing.st_mode & 07777;
  } else if (errno != ENOENT) {
    return false;
  }

  std::string name = directoryOf(path) + "/.lomvera-XXXXXX";
  const int descriptor = mkstemp(&name[0]);
  if (descriptor < 0) return false;
  std::FILE* file = nullptr;
  if (fchmod(descriptor, mode) == 0) file = fdopen(descriptor, "wb");
  if (file == nullptr) {
    close(descriptor);
    unlink(name.c_str());
    return false;
  }
  std::setvbuf(file, nullptr, _IONBF, 0);
  output->file = file;
  output->temporaryPath = name;
  return true;
}

bool platformFinishOutput(OutputFile* output, const char* path, bool written) {
  if (output->file == nullptr) return false;
  written = written && std::fflush(output->file) == 0 && std::ferror(output->file) == 0;
  if (written && output->replacesFile) written = fsync(fileno(output->file)) == 0;
  written = std::fclose(output->file) == 0 && written;
  output->file = nullptr;
  if (written && std::rename(output->temporaryPath.c_str(), path) == 0) return true;
  unlink(output->temporaryPath.c_str());
  return false;
}

static bool endsWithTgaAnyCase(const char* name) {
  const std::size_t length = std::strlen(name);
  if (length < 4) return false;
  const char* ending = name + length - 4;
  return ending[0] == '.' && (ending[1] | 0x20) == 't' && (ending[2] | 0x20) == 'g' &&
         (ending[3] | 0x20) == 'a';
}

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

std::vector<DirectoryEntry> platformListTgaEntries(const std::string& directory) {
  std::vector<DirectoryEntry> entries;
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return entries;
  while (const dirent* entry = readdir(listing)) {
    if (!endsWithTgaAnyCase(entry->d_name)) continue;
    const std::string path = directory + platformPathSeparator + entry->d_name;
    struct stat status {};
    // stat follows links: a link to a directory counts as a directory.
    const bool regular = stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
    entries.push_back(DirectoryEntry{entry->d_name, regular});
  }
  closedir(listing);
  std::sort(entries.begin(), entries.end(), listsBefore);
  return entries;
}
