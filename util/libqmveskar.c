/* libqmveskar.c - anchor of the shared library libqmveskar.so: all of its code is the
 * objects of util, seriallink and msgbus, linked in whole; the version script keeps the
 * exports to the API. */
#include "qmveskar.h"
