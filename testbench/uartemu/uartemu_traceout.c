/* uartemu_traceout.c - writes the emulation's trace (UARTEMU_TRACE): one text record per
 * line, "<t_us> <pid> <fd> <event> key=value...", appended with one write call each so that
 * several processes can share the file. Runs under ue_lock. */
#define _GNU_SOURCE
#include "uartemu_traceout.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char trace_path[512];
static int trace_fd = -1;

void ue_trace_init(void)
{
    const char *path = getenv("UARTEMU_TRACE");
    snprintf(trace_path, sizeof trace_path, "%s", path ? path : "");
}

static int trace_open(void)
{
    if (trace_fd >= 0 || !trace_path[0])
        return trace_fd;
    int fd = ue_real_open(trace_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    /* Out of the way of the descriptors the program itself counts on. */
    int high = fcntl(fd, F_DUPFD_CLOEXEC, 700);
    if (high >= 0) {
        ue_real_close(fd);
        fd = high;
    }
    trace_fd = fd;
    return fd;
}

void ue_trace_fd_closed(int fd)
{
    if (fd >= 0 && fd == trace_fd)
        trace_fd = -1; /* reopened at the next record */
}

static void emit(int64_t t_ns, int fd, const char *event, const char *fields, size_t flen,
                 const uint8_t *data, size_t n, int with_data)
{
    size_t cap = 96 + strlen(event) + flen + (with_data ? 8 + 2 * n : 0);
    char *line = malloc(cap);
    if (!line)
        return;
    char fdtext[16] = "-";
    if (fd >= 0)
        snprintf(fdtext, sizeof fdtext, "%d", fd);
    int len = snprintf(line, cap, "%lld %d %s %s%s%s", (long long)(t_ns / 1000), (int)getpid(),
                       fdtext, event, flen ? " " : "", fields);
    if (len < 0 || (size_t)len >= cap) {
        free(line);
        return;
    }
    size_t pos = (size_t)len;
    if (with_data) {
        static const char hex[] = "0123456789abcdef";
        memcpy(line + pos, " data=", 6);
        pos += 6;
        for (size_t i = 0; i < n; ++i) {
            line[pos++] = hex[data[i] >> 4];
            line[pos++] = hex[data[i] & 15];
        }
    }
    line[pos++] = '\n';
    int out = trace_open();
    if (out >= 0 && ue_real_write(out, line, pos) < 0) {
        /* a trace that cannot be written is not the program's failure */
    }
    free(line);
}

static void vemit(int64_t t_ns, int fd, const char *event, const uint8_t *data, size_t n,
                  int with_data, const char *fmt, va_list ap)
{
    if (!trace_path[0])
        return;
    int saved = errno;
    char fields[512];
    int flen = vsnprintf(fields, sizeof fields, fmt, ap);
    if (flen < 0)
        flen = 0;
    if ((size_t)flen >= sizeof fields)
        flen = (int)sizeof fields - 1;
    emit(t_ns, fd, event, fields, (size_t)flen, data, n, with_data);
    errno = saved;
}

void ue_trace(int64_t t_ns, int fd, const char *event, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vemit(t_ns, fd, event, NULL, 0, 0, fmt, ap);
    va_end(ap);
}

void ue_trace_data(int64_t t_ns, int fd, const char *event, const uint8_t *data, size_t n,
                   const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vemit(t_ns, fd, event, data, n, 1, fmt, ap);
    va_end(ap);
}
