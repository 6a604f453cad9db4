// Win32 implementation of the platform layer.

#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

const char platformPathSeparator = '\\';

std::uint32_t platformTickCount() { return GetTickCount(); }

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
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (descriptor < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(descriptor, "rb");
  if (file == nullptr) {
    _close(descriptor);
    return nullptr;
  }
  *fileSize = static_cast<std::uint64_t>(size.QuadPart);
  return file;
}

void* platformAllocatePixelStorage(std::size_t bytes, bool) { return std::calloc(bytes, 1); }

void platformFreePixelStorage(void* storage, std::size_t) { std::free(storage); }

static std::string directoryOf(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/:");
  if (separator == std::string::npos) return ".";
  if (path[separator] == ':') return path.substr(0, separator + 1) + ".";
  if (separator == 0) return path.substr(0, 1);
  return path.substr(0, separator);
}

std::FILE* platformCreateTemporaryBeside(const char* finalPath, std::string* temporaryPath) {
  const DWORD attributes = GetFileAttributesA(finalPath);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) return nullptr;
  }
  // GetTempFileNameA creates the file "lmvXXXX.tmp" in the directory.
  char name[MAX_PATH + 1];
  if (GetTempFileNameA(directoryOf(finalPath).c_str(), "lmv", 0, name) == 0) return nullptr;
  std::FILE* file = std::fopen(name, "wb");
  if (file == nullptr) {
    DeleteFileA(name);
    return nullptr;
  }
  *temporaryPath = name;
  return file;
}

bool platformReplaceFile(const char* temporaryPath, const char* finalPath) {
  return MoveFileExA(temporaryPath, finalPath, MOVEFILE_REPLACE_EXISTING) != 0;
}

void platformRemoveFile(const char* path) { DeleteFileA(path); }

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
