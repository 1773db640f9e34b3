// files.h - files and folders in a test: whole-file reads and writes, a folder's names, the
// open descriptors, waiting for a file.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace qmtest {

// The file's bytes ("" when it cannot be read; *exists tells which).
std::string ReadFile(const std::string &path, bool *exists = nullptr);
// Writes the file anew with content.
void WriteFile(const std::string &path, const std::string &content);
// Replaces the file in one step (written aside as path.new, then renamed); false when the
// rename failed.
bool ReplaceFile(const std::string &path, const std::string &content);
// True when the path names anything (a link too).
bool Exists(const std::string &path);
// The names in a folder, without "." and "..", sorted.
std::vector<std::string> DirEntries(const std::string &dir);
// The descriptors open in this process (/proc/self/fd), without the one that lists them.
std::set<int> OpenDescriptors();

} // namespace qmtest
