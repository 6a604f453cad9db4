// POSIX implementation of the platform layer.

#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <sys/mman.h>
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

// Blocks of at least this size are mapped from the system directly, with all
// their pages at once (one call instead of a page fault per 4 KiB). With huge
// pages asked for, the block is aligned to the huge page size so that a huge
// page can back every whole 2 MiB of it.
static constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

static bool isMapped(std::size_t bytes) { return bytes >= kHugePageSize; }

static void* mapHugePageBlock(std::size_t bytes) {
  // Map one huge page more than needed and give back the unaligned ends.
  const std::size_t mappedBytes = bytes + kHugePageSize;
  void* mapping = mmap(nullptr, mappedBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t aligned = (start + kHugePageSize - 1) & ~(kHugePageSize - 1);
  const std::uintptr_t end = start + mappedBytes;
  const std::size_t pageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t usedEnd = (aligned + bytes + pageSize - 1) & ~(pageSize - 1);
  if (aligned > start) munmap(mapping, aligned - start);
  if (end > usedEnd) munmap(reinterpret_cast<void*>(usedEnd), end - usedEnd);
  void* block = reinterpret_cast<void*>(aligned);
  // Only advice: where it is not taken, the block works all the same.
#if defined(MADV_HUGEPAGE)
  madvise(block, bytes, MADV_HUGEPAGE);
#endif
#if defined(MADV_POPULATE_WRITE)
  madvise(block, bytes, MADV_POPULATE_WRITE);
#endif
  return block;
}

void* platformAllocatePixelStorage(std::size_t bytes, bool hugePages) {
  if (!isMapped(bytes)) return std::calloc(bytes, 1);
  if (hugePages) return mapHugePageBlock(bytes);
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

void platformFreePixelStorage(void* storage, std::size_t bytes) {
  if (storage == nullptr) return;
  if (isMapped(bytes)) {
    munmap(storage, bytes);
  } else {
    std::free(storage);
  }
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

std::FILE* platformCreateTemporaryBeside(const char* finalPath, std::string* temporaryPath, bool* replacesFile) {
  mode_t mode = ordinaryFileMode();
  struct stat existing {};
  *replacesFile = stat(finalPath, &existing) == 0;
  if (*replacesFile) {
    // Only a regular file is ever replaced; one that could not be opened for
    // writing is not replaced either, just as writing it in place would fail.
    if (!S_ISREG(existing.st_mode)) return nullptr;
    const int probe = open(finalPath, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) return nullptr;
    close(probe);
    mode = existing.st_mode & 07777;
  } else if (errno != ENOENT) {
    return nullptr;
  }

  std::string name = directoryOf(finalPath) + "/.lomvera-XXXXXX";
  const int descriptor = mkstemp(&name[0]);
  if (descriptor < 0) return nullptr;
  std::FILE* file = nullptr;
  if (fchmod(descriptor, mode) == 0) file = fdopen(descriptor, "wb");
  if (file == nullptr) {
    close(descriptor);
    unlink(name.c_str());
    return nullptr;
  }
  *temporaryPath = name;
  return file;
}

bool platformSyncFile(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

bool platformReplaceFile(const char* temporaryPath, const char* finalPath) {
  return std::rename(temporaryPath, finalPath) == 0;
}

void platformRemoveFile(const char* path) { unlink(path); }

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
