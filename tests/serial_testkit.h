// serial_testkit.h - the former names of the serial-link tests' helpers (now in
// tests/support), for serial_receive_test.cpp until it includes the support headers itself.
#pragma once

#include "child.h"
#include "privileges.h"
#include "ptyline.h"

namespace serialtest {
using qmtest::CatchSigio, qmtest::CurrentPolicy, qmtest::DropCapabilities, qmtest::InChild;
} // namespace serialtest
