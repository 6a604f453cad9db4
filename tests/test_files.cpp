#include "test_files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/platform.h"

namespace fs = std::filesystem;

// Paths are UTF-8 in the tests as in the tool, whatever the Windows code page.
Bytes readBytes(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(fs::u8path(path), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool fileExists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(fs::u8path(path), error));
}

std::vector<std::string> listDirectory(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(fs::u8path(directory))) names.push_back(entry.path().filename().u8string());
  std::sort(names.begin(), names.end());
  return names;
}

void makeReadOnly(const std::string& path) {
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

void makeDirectory(const std::string& path) {
  if (!fs::create_directory(fs::u8path(path))) std::abort();
}

std::string joinPath(const std::string& directory, const std::string& name) {
  return directory + platformPathSeparator + name;
}

std::string besideTestProgram(const std::string& name) {
#ifdef _WIN32
  char program[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) std::abort();
  const fs::path directory = fs::path(program).parent_path();
#else
  const fs::path directory = fs::read_symlink("/proc/self/exe").parent_path();
#endif
  return (directory / fs::path(name).make_preferred()).string();
}

#ifdef _WIN32
static std::string freshDirectoryIn(const fs::path& parent) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const fs::path candidate =
        parent / ("lomvera-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
    std::error_code error;
    if (fs::create_directory(candidate, error)) return candidate.string();
    if (error) break;
  }
  std::abort();
}
#endif

TemporaryDirectory::TemporaryDirectory() {
#ifdef _WIN32
  root_ = freshDirectoryIn(fs::temp_directory_path());
#else
  std::string pattern = (fs::temp_directory_path() / "lomvera-test-XXXXXX").string();
  if (mkdtemp(&pattern[0]) == nullptr) std::abort();
  root_ = pattern;
#endif
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code error;
  // Restore write permission on anything a test made read-only, then remove.
  for (const auto& entry : fs::recursive_directory_iterator(root_, error)) {
    fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, error);
  fs::remove_all(root_, error);
}

std::string TemporaryDirectory::path(const std::string& name) const { return joinPath(root_, name); }
