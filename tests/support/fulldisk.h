// fulldisk.h - a disk that is full, for the writers' failure paths.
#pragma once

#include <string>

namespace qmtest {

// Mounts a tmpfs of kib KiB over dir (in the sandbox's own mount namespace; false when it
// cannot be mounted).
bool MountSmallTmpfs(const std::string &dir, int kib);
// Takes the mount off dir again.
void Unmount(const std::string &dir);
// A filler file that takes every byte left in the file system that holds dir (its path).
std::string FillUp(const std::string &dir);

} // namespace qmtest
