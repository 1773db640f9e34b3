// logline.cpp - one time-stamped line "[seconds,microseconds] text" on a stream, flushed.
#include <cstdio>
#include <sys/time.h>

#include "internal.h"

// Without a time of day the line is the bare text. Returns the flush result (0 on success).
int WriteLogLine(const char *text, FILE *stream)
{
    if (!stream)
        return EOF;
    timeval now;
    if (gettimeofday(&now, nullptr) == 0)
        fprintf(stream, "[%ld,%ld] ", static_cast<long>(now.tv_sec), static_cast<long>(now.tv_usec));
    fprintf(stream, "%s\n", text ? text : "");
    return fflush(stream);
}
