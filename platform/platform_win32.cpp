// Win32 implementation of the platform layer. Paths come and go in UTF-8 and
// meet the system through its UTF-16 ("W") functions, so that every name the
// file system holds can be used, whatever the code page.

#include "platform/platform.h"
#include "platform/paths_win32.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <utility>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

const char platformPathSeparator = '\\';

namespace {

// UTF-8 to UTF-16 and back, for the system's "W" functions.
std::wstring toWide(const std::string& text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

std::string toUtf8(const wchar_t* wide) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return std::string();
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], length, nullptr, nullptr);
  text.resize(static_cast<std::size_t>(length - 1));
  return text;
}

// The console's output code page before the run, given back at its end, so
// that the console the tool was started from is left as it was.
UINT consoleCodePageBefore = 0;

void restoreConsoleCodePage() { SetConsoleOutputCP(consoleCodePageBefore); }

// Why the C runtime refused a descriptor or a stream. It tells by errno, not
// by GetLastError, which still holds whatever an earlier call left there:
// memory that ran out is "not enough memory"; anything else (a table of
// descriptors or streams that is full) is the plain reason, without a system
// text.
FailureReason runtimeRefusal(bool saving) {
  if (errno == ENOMEM) return FailureReason{Failure::kNoMemory};
  return FailureReason{saving ? Failure::kCannotWrite : Failure::kCannotRead};
}

// A binary C stream on an open file handle, which it then owns; null (with
// the handle closed, and the reason in *why) when that fails. errno is
// cleared first: a runtime may fail without setting it (Wine's, when its
// table of streams is full). The reason is kept before the handle closes,
// and without allocating: under the output's lock too.
std::FILE* streamOnHandle(HANDLE handle, int openFlags, const char* mode, FailureReason* why) {
  const bool saving = (openFlags & (_O_WRONLY | _O_RDWR)) != 0;
  errno = 0;
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), openFlags | _O_BINARY);
  if (descriptor < 0) {
    *why = runtimeRefusal(saving);
    CloseHandle(handle);
    return nullptr;
  }
  errno = 0;
  std::FILE* file = _fdopen(descriptor, mode);
  if (file == nullptr) {
    *why = runtimeRefusal(saving);
    _close(descriptor);
  }
  return file;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The folder as an absolute path in the "\\?\" form, which no length limit
// applies to, ending in a separator; empty when the system cannot make it.
std::wstring extendedFolder(const std::wstring& folder) {
  std::wstring full = fullPathName(folder);
  if (full.empty()) return full;
  if (full.back() != L'\\') full += L'\\';
  if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) return full;
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The path of a temporary file in the folder, ".lomvera-XXXXXX", made before
// the file so that nothing is allocated while it could be left behind; empty
// when the system cannot make it.
std::wstring temporaryPattern(const std::wstring& folder) {
  const std::wstring prefix = extendedFolder(folder);
  return prefix.empty() ? prefix : prefix + L".lomvera-XXXXXX";
}

// Creates the temporary file *name (temporaryPattern) with the attributes
// given, its six letters chosen here; a name that is taken is tried again
// with other letters. Allocates nothing.
HANDLE createTemporary(std::wstring* name, DWORD attributes) {
  static std::uint32_t state = GetTickCount() ^ (GetCurrentProcessId() << 16);
  const wchar_t* const letters = L"abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100 && !name->empty(); ++attempt) {
    for (std::size_t i = name->size() - 6; i < name->size(); ++i) {
      state = state * 1664525u + 1013904223u;
      (*name)[i] = letters[(state >> 16) % 36];
    }
    // DELETE lets the file be marked to go (markToGo).
    const HANDLE handle = CreateFileW(name->c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, attributes, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return INVALID_HANDLE_VALUE;
}

// Marks the file open as `handle` to go as its last handle closes.
void markToGo(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

// Closes its handle however the scope that holds it is left, an allocation
// that failed included.
struct HandleClosing {
  HANDLE handle;
  ~HandleClosing() { CloseHandle(handle); }
};

// The path of the file that an open handle is on, all links followed, in the
// "\\?\" form: with the volume's drive letter or folder ("\\?\C:\..."), or
// its name where it has neither ("\\?\Volume{...}\..."); empty when the
// system cannot tell. Closes the handle.
std::wstring finalPathOf(HANDLE handle) {
  const HandleClosing closing{handle};
  for (const DWORD volumeName : {VOLUME_NAME_DOS, VOLUME_NAME_GUID}) {
    const DWORD form = FILE_NAME_NORMALIZED | volumeName;
    const DWORD size = GetFinalPathNameByHandleW(handle, nullptr, 0, form);
    if (size == 0) continue;
    std::wstring path(size, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, &path[0], size, form);
    if (length == 0 || length >= size) continue;
    path.resize(length);
    return path;
  }
  return std::wstring();
}

// The folder's path with all links followed; empty when the system cannot
// tell.
std::wstring finalPathOfFolder(const std::wstring& folder) {
  const HANDLE handle =
      CreateFileW(folder.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return handle == INVALID_HANDLE_VALUE ? std::wstring() : finalPathOf(handle);
}

// Where the symbolic link `link` leads: its target as a path. A relative
// target is taken from the folder the link really lies in, its links
// followed, as the system takes it. False for a link the system cannot read,
// a target that is no path, and any other kind of reparse point.
bool readSymbolicLink(const std::wstring& link, std::wstring* target) {
  const HANDLE handle = CreateFileW(link.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  unsigned char data[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
  DWORD size = 0;
  const bool read = DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, data, sizeof data, &size, nullptr) != 0;
  CloseHandle(handle);
  std::wstring name;
  bool relative = false;
  if (!read || !symbolicLinkTarget(data, size, &name, &relative)) return false;
  const std::wstring folder = relative ? finalPathOfFolder(folderOf(link)) : std::wstring();
  if (relative && folder.empty()) return false;
  *target = linkTargetPath(folder, name, relative);
  return !target->empty();
}

// Whether the path names something that is no reparse point (no link, no
// junction).
bool isPlainName(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Windows follows at most this many links in a row.
constexpr int kMostLinks = 63;

// Follows the chain of symbolic links to files that *path may be, when it
// leads nowhere, leaving in *path the path of the file the last link would
// lead to. True when that names nothing at all, so that a file can be created
// there; false for a junction, a link to a folder, a link that cannot be
// read, and a chain longer than Windows follows.
bool followDanglingLinks(std::wstring* path) {
  for (int links = 0; links <= kMostLinks; ++links) {
    const DWORD attributes = GetFileAttributesW(path->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
    const bool linkToFile =
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    std::wstring target;
    if (!linkToFile || !readSymbolicLink(*path, &target)) return false;
    *path = target;
  }
  return false;
}

// The temporary file of the output being written, for the console control
// handler, which the system runs in a thread of its own: the lock keeps the
// handle from being closed, or the file renamed, while the handler uses it.
// After a console control event the process is ending, and no temporary file
// is begun that nothing would remove (outputsEnded, under the same lock).
SRWLOCK pendingLock = SRWLOCK_INIT;
HANDLE pendingTemporary = INVALID_HANDLE_VALUE;
bool outputsEnded = false;

BOOL WINAPI consoleControlHandler(DWORD event) { return platformConsoleControl(event); }

// Attributes of an existing output that its replacement takes over.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// Attributes that make an existing output refuse being written over, as
// fopen(path, "wb") is refused on such a file.
constexpr DWORD kRefusingAttributes =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

}  // namespace

void platformPreferLargePages(void*, std::size_t) {}

void platformPrepareProcess() {
  consoleCodePageBefore = GetConsoleOutputCP();
  if (consoleCodePageBefore != 0 && consoleCodePageBefore != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    std::atexit(restoreConsoleCodePage);
  }
  SetConsoleCtrlHandler(consoleControlHandler, TRUE);
}

// Windows delivers console control events on a thread of their own.
void platformKeepEndingSignalsFromThisThread() {}

// Ctrl+C, Ctrl+Break, the closing of the console (and the end of the session)
// end the run: the temporary file is marked to go when its handle closes,
// which the end of the process does, no other is begun, and the system's own
// handler, which comes next, ends the process.
int platformConsoleControl(unsigned long) {
  AcquireSRWLockExclusive(&pendingLock);
  outputsEnded = true;
  if (pendingTemporary != INVALID_HANDLE_VALUE) markToGo(pendingTemporary);
  ReleaseSRWLockExclusive(&pendingLock);
  return FALSE;
}

void platformAllowUnnamedOutputs(bool) {}

void platformAllowOutputsAgain() {
  AcquireSRWLockExclusive(&pendingLock);
  outputsEnded = false;
  ReleaseSRWLockExclusive(&pendingLock);
}

// Frees what CommandLineToArgvW made however the scope is left, an
// allocation that failed included.
struct ArgumentsFreeing {
  LPWSTR* wide;
  ~ArgumentsFreeing() { LocalFree(wide); }
};

bool platformArguments(int, char**, std::vector<std::string>* arguments, FailureReason* why) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) {
    *why = platformLastFailure(false);
    return false;
  }
  const ArgumentsFreeing freeing{wide};
  arguments->clear();
  for (int i = 0; i < count; ++i) arguments->push_back(toUtf8(wide[i]));
  return true;
}

std::uint32_t platformTickCount() { return GetTickCount(); }

FailureReason platformLastFailure(bool saving) {
  const DWORD error = GetLastError();
  Failure kind = saving ? Failure::kCannotWrite : Failure::kCannotRead;
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    kind = saving ? Failure::kNoFolder : Failure::kNoSuchFile;
  }
  if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT) kind = Failure::kPermission;
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) kind = Failure::kDiskFull;
  if (error == ERROR_FILE_TOO_LARGE) kind = Failure::kFileTooLarge;
  if (error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY) return FailureReason{Failure::kNoMemory};
  return FailureReason{kind, 0, 0, static_cast<int>(error)};
}

// The system's message for the code, in UTF-8, without its line end and
// full stop; empty when the system has none.
void platformErrorText(int systemError, char* text, std::size_t size) {
  wchar_t wide[512] = L"";
  FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(systemError),
                 0, wide, 512, nullptr);
  text[0] = '\0';
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, static_cast<int>(size), nullptr, nullptr);
  if (length <= 0) text[0] = '\0';
  for (std::size_t end = std::strlen(text); end > 0 && std::strchr("\r\n.", text[end - 1]) != nullptr; --end)
    text[end - 1] = '\0';
}

std::FILE* platformOpenInputFile(const char* path, std::uint64_t* fileSize, FailureReason* why) {
  const std::wstring widePath = toWide(path);
  const DWORD attributes = GetFileAttributesW(widePath.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *why = attributes == INVALID_FILE_ATTRIBUTES ? platformLastFailure(false) : FailureReason{Failure::kFolder};
    return nullptr;
  }
  // Shared as fopen shares it: a scan that another program still holds open
  // (for writing too) can be read.
  const HANDLE handle =
      CreateFileW(widePath.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *why = platformLastFailure(false);
    return nullptr;
  }
  LARGE_INTEGER size{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
    *why = FailureReason{Failure::kNotSeekable};  // a pipe or CON
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = streamOnHandle(handle, _O_RDONLY, "rb", why);
  if (file == nullptr) return nullptr;
  *fileSize = static_cast<std::uint64_t>(size.QuadPart);
  return file;
}

// Each read names its own offset, so that threads may read one file at the
// same time: a seek and a read of the stream would be two steps another
// thread could come between. The stream's own buffer is never used.
bool platformReadAt(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t bytes) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE) return false;
  auto* to = static_cast<unsigned char*>(buffer);
  while (bytes > 0) {
    const DWORD asked = bytes < (DWORD{1} << 30) ? static_cast<DWORD>(bytes) : (DWORD{1} << 30);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(handle, to, asked, &got, &at) || got == 0) return false;
    to += got;
    bytes -= got;
    offset += got;
  }
  return true;
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

bool platformIdentityOf(const char* path, FileIdentity* identity) {
  // No access asked for: only the file's information is read. Backup
  // semantics let a directory be opened too.
  const HANDLE handle = CreateFileW(toWide(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information{};
  const bool known = GetFileInformationByHandle(handle, &information) != 0;
  CloseHandle(handle);
  if (!known) return false;
  identity->volume = information.dwVolumeSerialNumber;
  identity->file = static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
  return true;
}

bool platformOpenOutput(const char* path, OutputFile* output) {
  output->failure = FailureReason{};
  const std::wstring widePath = toWide(path);
  // The file replaced: a symbolic link, or a chain of them, stands for the
  // file it leads to, or would lead to when it dangles.
  std::wstring target = widePath;
  std::string directPath = path;
  // Opening for writing without truncating tells what is there: nothing, a
  // file on a disk, a device (NUL, CON) or a pipe. A read-only file, a
  // directory, or a file another program holds against writing refuse it,
  // as writing them in place would be refused.
  const HANDLE existing =
      CreateFileW(widePath.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD keptAttributes = 0;
  output->replacesFile = existing != INVALID_HANDLE_VALUE;
  if (!output->replacesFile && GetLastError() != ERROR_FILE_NOT_FOUND) {
    refuseOutput(output);
    const DWORD attributes = GetFileAttributesW(widePath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      refuseOutput(output, Failure::kFolder);
    }
    return false;
  }
  if (!output->replacesFile && !followDanglingLinks(&target)) return false;
  if (output->replacesFile) {
    const DWORD type = GetFileType(existing);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
      // Written directly: there is no file to put in its place.
      std::FILE* file = streamOnHandle(existing, _O_WRONLY, "wb", &output->failure);
      return file != nullptr && holdOutput(output, file, OutputKind::kDirect, "", std::move(directPath), false);
    }
    const std::wstring reached = finalPathOf(existing);
    // Where the system cannot tell which file a link leads to, replacing
    // "the file" would put a file in the link's place.
    if (reached.empty() && !isPlainName(widePath)) return false;
    if (!reached.empty()) target = reached;
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (type != FILE_TYPE_DISK || attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & kRefusingAttributes) != 0) return refuseOutput(output, Failure::kPermission);
    keptAttributes = attributes & kKeptAttributes;
  }
  // Everything is allocated before the lock is taken; the lock is held from
  // the creation of the temporary file until the handler knows it. Its
  // letters are ASCII, the same in both forms of its path.
  std::wstring name = temporaryPattern(folderOf(target));
  std::string temporaryPath = toUtf8(name.c_str());
  std::string finalPath = toUtf8(target.c_str());
  AcquireSRWLockExclusive(&pendingLock);
  const HANDLE handle = outputsEnded ? INVALID_HANDLE_VALUE
                                     : createTemporary(&name, keptAttributes != 0 ? keptAttributes : FILE_ATTRIBUTE_NORMAL);
  if (handle == INVALID_HANDLE_VALUE && !outputsEnded) refuseOutput(output);
  std::FILE* file =
      handle != INVALID_HANDLE_VALUE ? streamOnHandle(handle, _O_WRONLY, "wb", &output->failure) : nullptr;
  if (file != nullptr) pendingTemporary = handle;
  if (file == nullptr && handle != INVALID_HANDLE_VALUE) DeleteFileW(name.c_str());
  ReleaseSRWLockExclusive(&pendingLock);
  if (file != nullptr) std::copy(name.end() - 6, name.end(), temporaryPath.end() - 6);
  return file != nullptr && holdOutput(output, file, OutputKind::kNamedTemporary, std::move(temporaryPath),
                                       std::move(finalPath), output->replacesFile);
}

bool platformFinishOutput(OutputFile* output, bool written) {
  if (output->file == nullptr) return false;
  // A step that fails gives the reason, read at once from the system; none
  // runs after one fails but the closing, which does not fail after a failed
  // write.
  const auto step = [output](bool done) { return done || refuseOutput(output); };
  written = written && step(std::fflush(output->file) == 0 && std::ferror(output->file) == 0);
  if (written && output->replacesFile) written = step(_commit(_fileno(output->file)) == 0);
  if (output->kind == OutputKind::kDirect) {
    written = step(std::fclose(output->file) == 0) && written;
    output->file = nullptr;
    return written;
  }
  // A file that the console control handler marked goes as it is closed, and
  // the renaming then finds nothing. The paths are made before the lock is
  // taken; an abandoned file needs none, being marked to go as it closes, so
  // that abandoning it allocates nothing (memory may have run out).
  const std::wstring temporary = written ? toWide(output->temporaryPath) : std::wstring();
  const std::wstring finalPath = written ? toWide(output->finalPath) : std::wstring();
  AcquireSRWLockExclusive(&pendingLock);
  if (!written) markToGo(pendingTemporary);
  written = step(std::fclose(output->file) == 0) && written;
  output->file = nullptr;
  pendingTemporary = INVALID_HANDLE_VALUE;
  const bool placed =
      written && step(MoveFileExW(temporary.c_str(), finalPath.c_str(), MOVEFILE_REPLACE_EXISTING) != 0);
  if (!placed && !temporary.empty()) DeleteFileW(temporary.c_str());
  ReleaseSRWLockExclusive(&pendingLock);
  return placed;
}

// Whether a name ends in ".tga" in any letter case.

// What a directory search that found nothing met: the search fails alike for
// a directory without matching names, for a missing one and for a file, so
// the path's attributes tell them apart. A directory whose search failed for
// any other reason than finding no name could not be listed.
static ListingStatus whyNothingFound(const std::string& directory, DWORD searchError) {
  const DWORD attributes = GetFileAttributesW(toWide(directory).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ListingStatus::kCannotOpen;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ListingStatus::kNotADirectory;
  const bool noMatchingName = searchError == ERROR_FILE_NOT_FOUND || searchError == ERROR_NO_MORE_FILES;
  return noMatchingName ? ListingStatus::kListed : ListingStatus::kCannotOpen;
}

// Ends a directory search however its scope is left, an allocation that
// failed included.
struct SearchClosing {
  HANDLE search;
  ~SearchClosing() { FindClose(search); }
};

// The directory search of Windows, in its own order. Its matching does not
// regard case, and also takes names whose short 8.3 form alone ends in ".TGA"
// ("notes.tgax" as "NOTES~1.TGA"); those are left out.
TgaListing platformListTgaEntries(const std::string& directory) {
  TgaListing result{ListingStatus::kListed, {}, {}};
  const std::wstring pattern = toWide(directory) + L"\\*.tga";
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    result.why = platformLastFailure(false);
    result.status = whyNothingFound(directory, static_cast<DWORD>(result.why.systemError));
    return result;
  }
  const SearchClosing closing{search};
  do {
    std::string name = toUtf8(entry.cFileName);
    if (!nameEndsWithTga(name.c_str())) continue;
    result.entries.push_back(DirectoryEntry{std::move(name), (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0});
  } while (FindNextFileW(search, &entry) != 0);
  // The search ends with ERROR_NO_MORE_FILES; any other error broke it off.
  if (GetLastError() != ERROR_NO_MORE_FILES) {
    result.why = platformLastFailure(false);
    result.status = ListingStatus::kBrokenOff;
    result.entries.clear();
  }
  return result;
}
