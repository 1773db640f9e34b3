/* uartemu_traceout.h - the trace writer of libuartemu.so (above uartemu_real.h): one record
 * per event in the file UARTEMU_TRACE. Called with ue_lock held; errno is kept. */
#ifndef UARTEMU_TRACEOUT_H
#define UARTEMU_TRACEOUT_H

#include "uartemu_real.h"

#include <stddef.h>
#include <stdint.h>

UE_HIDDEN void ue_trace_init(void);
/* One record: time, port descriptor (-1: none), event, then printf-style fields. */
UE_HIDDEN void ue_trace(int64_t t_ns, int fd, const char *event, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
/* Same, with " data=<hex>" of the bytes appended. */
UE_HIDDEN void ue_trace_data(int64_t t_ns, int fd, const char *event, const uint8_t *data,
                             size_t n, const char *fmt, ...) __attribute__((format(printf, 6, 7)));
UE_HIDDEN void ue_trace_fd_closed(int fd); /* the program closed or replaced fd */

#endif
