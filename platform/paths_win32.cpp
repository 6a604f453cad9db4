// Windows path strings: roots, folders, and where a symbolic link leads.

#include "platform/paths_win32.h"

#include <cstring>
#include <cwchar>

#include <windows.h>

namespace {

constexpr const wchar_t* kSeparators = L"\\/";

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isDevicePath(const std::wstring& path) {
  return path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0;
}

// Where the `count` names that start at `from` end: at the separator after
// the last of them, or at the end of the path.
std::size_t endOfNames(const std::wstring& path, std::size_t from, int count) {
  std::size_t end = from;
  for (int name = 0; name < count; ++name) {
    end = path.find_first_of(kSeparators, name == 0 ? end : end + 1);
    if (end == std::wstring::npos) return path.size();
  }
  return end;
}

// The path with "." and ".." taken away by the system's rules, ".." stopping
// at the root. The system takes a device path as it is, so the names after
// its root are resolved as if they lay on a drive of their own.
std::wstring resolvedPath(const std::wstring& path) {
  if (!isDevicePath(path)) return fullPathName(path);
  const std::size_t root = pathRootLength(path);
  const std::wstring below = root < path.size() ? path.substr(root) : L"\\";  // "\a\..\b"
  const std::wstring onADrive = fullPathName(L"C:" + below);
  if (onADrive.empty()) return std::wstring();
  return path.substr(0, root) + onADrive.substr(2);
}

// The start of a symbolic link's reparse data (REPARSE_DATA_BUFFER, which
// only the driver kit declares in full); the two names follow it, in UTF-16,
// at their offsets in bytes.
struct SymbolicLinkData {
  ULONG tag;
  USHORT dataLength;
  USHORT reserved;
  USHORT substituteNameOffset;
  USHORT substituteNameLength;
  USHORT printNameOffset;
  USHORT printNameLength;
  ULONG flags;
};
constexpr ULONG kRelativeLink = 1;  // SYMLINK_FLAG_RELATIVE

}  // namespace

std::wstring fullPathName(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::wstring();
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return std::wstring();
  full.resize(length);
  return full;
}

std::size_t pathRootLength(const std::wstring& path) {
  if (isDevicePath(path)) {
    const bool unc = path.size() >= 8 && _wcsnicmp(path.c_str() + 4, L"UNC\\", 4) == 0;
    return endOfNames(path, 4, unc ? 3 : 1);
  }
  if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) return endOfNames(path, 2, 2);
  if (path.size() >= 2 && path[1] == L':') return 2;
  return 0;
}

std::wstring folderOf(const std::wstring& path) {
  const std::size_t root = pathRootLength(path);
  const std::size_t separator = path.find_last_of(kSeparators);
  if (separator == std::wstring::npos || separator < root) return path.substr(0, root) + L".";
  return path.substr(0, separator == root ? separator + 1 : separator);
}

bool symbolicLinkTarget(const unsigned char* data, std::size_t size, std::wstring* name, bool* relative) {
  SymbolicLinkData header{};
  if (size < sizeof header) return false;
  std::memcpy(&header, data, sizeof header);
  const std::size_t length = header.substituteNameLength;
  const std::size_t end = sizeof header + header.substituteNameOffset + length;
  if (header.tag != IO_REPARSE_TAG_SYMLINK || end > size || length == 0 || length % sizeof(wchar_t) != 0) return false;
  name->assign(length / sizeof(wchar_t), L'\0');
  std::memcpy(&(*name)[0], data + sizeof header + header.substituteNameOffset, length);
  *relative = (header.flags & kRelativeLink) != 0;
  return true;
}

std::wstring linkTargetPath(const std::wstring& linkFolder, const std::wstring& name, bool relative) {
  if (!relative) {
    // An NT path; its "\??\" is the very namespace that "\\?\" names.
    if (name.compare(0, 4, L"\\??\\") != 0) return std::wstring();
    return L"\\\\?\\" + name.substr(4);
  }
  const bool rooted = !name.empty() && isSeparator(name[0]);
  return resolvedPath(rooted ? linkFolder.substr(0, pathRootLength(linkFolder)) + name : linkFolder + L"\\" + name);
}
