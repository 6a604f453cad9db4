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

bool platformReadAt(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t bytes) {
  if (_fseeki64(file, static_cast<__int64>(offset), SEEK_SET) != 0) return false;
  return std::fread(buffer, 1, bytes, file) == bytes;
}

bool platformStampOf(std::FILE* file, FileStamp* stamp) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  BY_HANDLE_FILE_INFORMATION information{};
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &information)) return false;
  stamp->size = static_cast<std::uint64_t>(information.nFileSizeHigh) << 32 | information.nFileSizeLow;
  stamp->modified = static_cast<std::int64_t>(static_cast<std::uint64_t>(information.ftLastWriteTime.dwHighDateTime) << 32 |
                                              information.ftLastWriteTime.dwLowDateTime);
  return true;
}

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

bool platformOpenOutput(const char* path, OutputFile* output) {
  DWORD keptAttributes = 0;
  const DWORD attributes = GetFileAttributesA(path);
  output->replacesFile = attributes != INVALID_FILE_ATTRIBUTES;
  if (output->replacesFile) {
    // Only a writable plain file is ever replaced: a read-only file or one
    // that another program holds open against writing would refuse being
    // written in place as well.
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) return false;
    const HANDLE probe = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    const bool plainFile = GetFileType(probe) == FILE_TYPE_DISK;
    CloseHandle(probe);
    if (!plainFile) return false;
    keptAttributes = attributes & kKeptAttributes;
  }
  // GetTempFileNameA creates the empty file "lmvXXXX.tmp" in the directory.
  // It is opened as it exists: creating it anew would be refused once it
  // is hidden.
  char name[MAX_PATH + 1];
  if (GetTempFileNameA(directoryOf(path).c_str(), "lmv", 0, name) == 0) return false;
  std::FILE* file = nullptr;
  if (keptAttributes == 0 || SetFileAttributesA(name, keptAttributes)) {
    const HANDLE handle = CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) file = streamOnHandle(handle, _O_WRONLY, "wb");
  }
  if (file == nullptr) {
    DeleteFileA(name);
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
  if (written && output->replacesFile) written = _commit(_fileno(output->file)) == 0;
  written = std::fclose(output->file) == 0 && written;
  output->file = nullptr;
  if (written && MoveFileExA(output->temporaryPath.c_str(), path, MOVEFILE_REPLACE_EXISTING) != 0) return true;
  DeleteFileA(output->temporaryPath.c_str());
  return false;
}

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
