#pragma once

// Files and directories for the tests: reading and writing whole files, and
// a fresh temporary directory per test.

#include <string>
#include <vector>

#include "test_pictures.h"

Bytes readBytes(const std::string& path);
void writeBytes(const std::string& path, const Bytes& bytes);
bool fileExists(const std::string& path);
// The names in a directory, sorted byte by byte.
std::vector<std::string> listDirectory(const std::string& directory);
// Takes away every write permission (on Windows: sets the read-only attribute).
void makeReadOnly(const std::string& path);
void makeDirectory(const std::string& path);

// directory, the platform's separator, name.
std::string joinPath(const std::string& directory, const std::string& name);
// A file in the directory of the running test program, where the build puts
// the tool too.
std::string besideTestProgram(const std::string& name);
// The path of the built tool.
std::string toolExecutable();

// A fresh, empty directory, removed with everything in it on destruction.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  // A name in the directory, joined with the platform's separator.
  std::string path(const std::string& name) const;
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};
