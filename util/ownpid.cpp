// ownpid.cpp - the process id that the command stores first thing; read by the bus client.
#include "internal.h"

int32_t OwnPid = 0;
