#pragma once

// Windows path strings, worked out without touching the disk: a path's root
// and folder, and the path that a symbolic link's reparse data leads to.

#include <cstddef>
#include <string>

// The length of a path's root: "C:", "\\server\share", or a device path's
// prefix with the device ("\\?\C:", "\\?\Volume{...}", "\\?\UNC\server\share",
// the same with "\\.\"); 0 for a path rooted on the current drive ("\dir")
// or relative to the current folder.
std::size_t pathRootLength(const std::wstring& path);

// The absolute path that the system makes of a path, with "." and ".."
// taken away, as GetFullPathNameW does (it reads only the current folder);
// empty when it cannot.
std::wstring fullPathName(const std::wstring& path);

// The folder that a path's last name lies in. For a name in a root that is
// the root with its separator ("C:\", "\\?\Volume{...}\"), since "C:" alone is
// the drive's current folder and "\\?\C:" the volume itself; "C:." for
// "C:x.tga", and "." for a name alone.
std::wstring folderOf(const std::wstring& path);

// What the reparse data of a symbolic link (a REPARSE_DATA_BUFFER of `size`
// bytes) holds: the link's target, its substitute name, and whether that is
// relative to the link's folder. False for any other kind of reparse point
// and for data that does not hold a whole name: lengths beyond the data, an
// odd number of bytes, or no name.
bool symbolicLinkTarget(const unsigned char* data, std::size_t size, std::wstring* name, bool* relative);

// The path that a symbolic link in `linkFolder` leads to, given its target
// as symbolicLinkTarget reads it. A relative target is taken from the folder,
// a rooted one ("\dir\x.tga") from the folder's root, its drive; there "."
// and ".." are taken away by the system's own rules for paths
// (GetFullPathNameW), ".." stopping at the root, device paths ("\\?\...")
// included. An absolute target ("\??\C:\...", "\??\UNC\server\share\...",
// "\??\Volume{...}\...") is kept whole, in the "\\?\" form that names the
// same place. Empty for a target that is no path Windows programs can open.
std::wstring linkTargetPath(const std::wstring& linkFolder, const std::wstring& name, bool relative);
