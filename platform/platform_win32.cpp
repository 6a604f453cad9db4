// Win32 implementation of the platform layer.

#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

const char platformPathSeparator = '\\';

void platformPrepareProcess() {}

std::uint32_t platformTickCount() { return GetTickCount(); }

// A binary C stream on an open file handle, which it then owns; null (with
// the handle closed) when that fails.
static std::FILE* streamOnHandle(HANDLE handle, int openFlags, const char* mode) {
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), openFlags | _O_BINARY);
  if (descriptor < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(descriptor, mode);
  if (file == nullptr) _close(descriptor);
  return file;
}

std::FILE* platformOpenInputFile(const char* path, std::uint64_t* fileSize) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return nullptr;
  const HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER size{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = streamOnHandle(handle, _O_RDONLY, "rb");
  if (file == nullptr) return nullptr;
  *fileSize = static_cast<std::uint64_t>(size.QuadPart);
  return file;
}

void* platformAllocatePixelStorage(std::size_t bytes, bool) { return std::calloc(bytes, 1); }

void platformFreePixelStorage(void* storage, std::size_t) { std::free(storage); }

static std::string directoryOf(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/:");
  if (separator == std::string::npos) return ".";
  if (path[separator] == ':') return path.substr(0, separator + 1) + ".";
  // A file in a root directory ("\x.tga", "C:\x.tga") lies in that root, so
  // the separator stays; "C:" alone would be the drive's current directory.
  const bool inRoot = separator == 0 || (separator == 2 && path[1] == ':');
  if (inRoot) return path.substr(0, separator + 1);
  return path.substr(0, separator);
}

// Attributes of an existing output that its replacement takes over.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

std::FILE* platformCreateTemporaryBeside(const char* finalPath, std::string* temporaryPath, bool* replacesFile) {
  DWORD keptAttributes = 0;
  const DWORD attributes = GetFileAttributesA(finalPath);
  *replacesFile = attributes != INVALID_FILE_ATTRIBUTES;
  if (*replacesFile) {
    // Only a writable plain file is ever replaced: a read-only file or one
    // that another program holds open against writing would refuse being
    // written in place as well.
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) return nullptr;
    const HANDLE probe = CreateFileA(finalPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return nullptr;
    const bool plainFile = GetFileType(probe) == FILE_TYPE_DISK;
    CloseHandle(probe);
    if (!plainFile) return nullptr;
    keptAttributes = attributes & kKeptAttributes;
  }
  // GetTempFileNameA creates the empty file "lmvXXXX.tmp" in the directory.
  // It is opened as it exists: creating it anew would be refused once it
  // is hidden.
  char name[MAX_PATH + 1];
  if (GetTempFileNameA(directoryOf(finalPath).c_str(), "lmv", 0, name) == 0) return nullptr;
  std::FILE* file = nullptr;
  if (keptAttributes == 0 || SetFileAttributesA(name, keptAttributes)) {
    const HANDLE handle = CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) file = streamOnHandle(handle, _O_WRONLY, "wb");
  }
  if (file == nullptr) {
    DeleteFileA(name);
    return nullptr;
  }
  *temporaryPath = name;
  return file;
}

bool platformSyncFile(std::FILE* file) { return std::fflush(file) == 0 && _commit(_fileno(file)) == 0; }

bool platformReplaceFile(const char* temporaryPath, const char* finalPath) {
  return MoveFileExA(temporaryPath, finalPath, MOVEFILE_REPLACE_EXISTING) != 0;
}

void platformRemoveFile(const char* path) { DeleteFileA(path); }

// The directory search of Windows: its own wildcard matching (which does not
// regard case) and its own order, kept as it comes.
std::vector<DirectoryEntry> platformListTgaEntries(const std::string& directory) {
  std::vector<DirectoryEntry> entries;
  const std::string pattern = directory + "\\*.tga";
  WIN32_FIND_DATAA entry;
  const HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return entries;
  do {
    entries.push_back(DirectoryEntry{entry.cFileName, (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0});
  } while (FindNextFileA(search, &entry) != 0);
  FindClose(search);
  return entries;
}
