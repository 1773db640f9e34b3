// alloc.cpp - exported wrappers of the C allocator, for callers that free our results.
#include <cstdlib>
#include <cstring>

#include "qmveskar.h"

extern "C" void *_calloc(size_t count, size_t size) { return calloc(count, size); }
extern "C" void *_realloc(void *block, size_t size) { return realloc(block, size); }
extern "C" void _free(void *block) { free(block); }
extern "C" char *_strdup(const char *text) { return strdup(text); }
