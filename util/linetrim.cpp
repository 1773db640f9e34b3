// linetrim.cpp - cutting trailing characters (line ends, field separators) off a line.
#include <cstring>

#include "internal.h"

size_t StripTrailing(char *text, const char *chars)
{
    size_t len = strlen(text);
    while (len > 0 && strchr(chars, text[len - 1]))
        text[--len] = '\0';
    return len;
}
