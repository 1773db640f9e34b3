// tempdir.h - temporary folders and files of a case, under /tmp (the sandbox's own).
#pragma once

#include <string>

namespace qmtest {

// A fresh folder under /tmp, removed with all it holds at the end of its scope.
struct TempDir {
    explicit TempDir(const std::string &stem = "qmtest");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    // Writes a file of that name in the folder; its path.
    std::string File(const std::string &name, const std::string &content) const;
    std::string path;  // "" when it could not be made
};

// A fresh temporary file's descriptor (its name removed already).
int TempFd();

} // namespace qmtest
