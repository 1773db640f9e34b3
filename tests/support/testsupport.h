// testsupport.h - the helpers every test program shares, in one include: the run's
// environment, programs and forked children, files, temporary folders, a full disk, the clock.
#pragma once

#include <gtest/gtest.h>

#include "child.h"
#include "clockread.h"
#include "files.h"
#include "fulldisk.h"
#include "run.h"
#include "tempdir.h"
#include "testenv.h"

namespace qmtest {

// Seconds of the monotonic clock (see clockread.h).
[[gnu::always_inline]] inline double NowSeconds() { return qmclock::Monotonic(); }

} // namespace qmtest
