// capabilities.h - capabilities taken from the test process, for the paths that run without
// a right.
#pragma once

#include <initializer_list>

namespace qmtest {

// Clears the given capabilities (CAP_* numbers) from the calling process's effective,
// permitted and inheritable sets. False when the kernel refuses.
bool DropCapabilities(std::initializer_list<int> caps);

} // namespace qmtest
