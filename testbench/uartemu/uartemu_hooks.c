/* uartemu_hooks.c - the C library functions that libuartemu.so interposes (LD_PRELOAD):
 * open/close, read/write, poll, ioctl and the termios calls that glibc makes as direct
 * system calls. A call on an emulated port goes to the port model; every other call goes
 * on to the next definition (the C library, or a sanitizer's interceptor). */
#define _GNU_SOURCE
#include "uartemu_port.h"
#include "../preload/preload_scrub.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#define UE_EXPORT __attribute__((visibility("default")))

ssize_t (*ue_real_read)(int, void *, size_t);
ssize_t (*ue_real_write)(int, const void *, size_t);
int (*ue_real_ioctl)(int, unsigned long, void *);
int (*ue_real_ppoll)(struct pollfd *, nfds_t, const struct timespec *, const void *);
int (*ue_real_open)(const char *, int, ...);
int (*ue_real_close)(int);
int (*ue_real_tcgetattr)(int, struct termios *);
int (*ue_real_tcflush)(int, int);
static int (*real_open64)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_openat64)(int, const char *, int, ...);
static int (*real_poll)(struct pollfd *, nfds_t, int);
static int (*real_dup2)(int, int);
static int (*real_dup3)(int, int, int);
static int (*real_tcsetattr)(int, int, const struct termios *);
static int (*real_tcdrain)(int);

#define RESOLVE(var, name) (var = (__typeof__(var))dlsym(RTLD_NEXT, name))

void ue_resolve(void)
{
    if (ue_real_read)
        return;
    RESOLVE(ue_real_write, "write");
    RESOLVE(ue_real_ioctl, "ioctl");
    RESOLVE(ue_real_ppoll, "ppoll");
    RESOLVE(ue_real_open, "open");
    RESOLVE(ue_real_close, "close");
    RESOLVE(ue_real_tcgetattr, "tcgetattr");
    RESOLVE(ue_real_tcflush, "tcflush");
    RESOLVE(real_open64, "open64");
    RESOLVE(real_openat, "openat");
    RESOLVE(real_openat64, "openat64");
    RESOLVE(real_poll, "poll");
    RESOLVE(real_dup2, "dup2");
    RESOLVE(real_dup3, "dup3");
    RESOLVE(real_tcsetattr, "tcsetattr");
    RESOLVE(real_tcdrain, "tcdrain");
    __atomic_store_n(&ue_real_read, (__typeof__(ue_real_read))dlsym(RTLD_NEXT, "read"),
                     __ATOMIC_RELEASE);
}

#define NEED_REAL()                                                                           \
    do {                                                                                      \
        if (!__atomic_load_n(&ue_real_read, __ATOMIC_ACQUIRE))                                \
            ue_resolve();                                                                     \
    } while (0)

/* ---- load and unload ---------------------------------------------------------------- */

static void before_fork(void) { ue_lock(); }
static void after_fork_parent(void) { ue_unlock(); }
static void after_fork_child(void) { ue_port_reset_after_fork(); }


__attribute__((constructor)) static void ue_load(void)
{
    NEED_REAL();
    ue_lock();
    ue_trace_init();
    ue_ctl_init();
    ue_unlock();
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
#if defined(__i386__)
    /* A 32-bit child gets the emulation through QEMU_SET_ENV. */
    preload_scrub("libuartemu.so");
#endif
}

__attribute__((destructor)) static void ue_unload(void)
{
    ue_lock();
    ue_ports_drain_all();
    ue_unlock();
}

/* ---- open and close ------------------------------------------------------------------ */

static void after_open(int fd, const char *path, int flags)
{
    if (fd < 0 || fd >= UE_MAX_FDS)
        return;
    int saved = errno;
    ue_lock();
    /* A port whose descriptor was closed behind our back (inside the C library). */
    struct ue_port *stale = ue_port_of(fd);
    if (stale) {
        ue_trace(ue_now_ns(), fd, "close", "stale=1");
        ue_port_drop(stale);
    }
    if (ue_is_pty_slave(fd))
        ue_port_attach(fd, path, 1, flags);
    ue_unlock();
    errno = saved;
}

static int open_mode(int flags, va_list ap)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
}

UE_EXPORT int open(const char *path, int flags, ...)
{
    NEED_REAL();
    va_list ap;
    va_start(ap, flags);
    int mode = open_mode(flags, ap);
    va_end(ap);
    int fd = ue_real_open(path, flags, mode);
    after_open(fd, path, flags);
    return fd;
}

UE_EXPORT int open64(const char *path, int flags, ...)
{
    NEED_REAL();
    va_list ap;
    va_start(ap, flags);
    int mode = open_mode(flags, ap);
    va_end(ap);
    int fd = real_open64 ? real_open64(path, flags, mode) : ue_real_open(path, flags, mode);
    after_open(fd, path, flags);
    return fd;
}

UE_EXPORT int openat(int dir, const char *path, int flags, ...)
{
    NEED_REAL();
    va_list ap;
    va_start(ap, flags);
    int mode = open_mode(flags, ap);
    va_end(ap);
    int fd = real_openat(dir, path, flags, mode);
    after_open(fd, path, flags);
    return fd;
}

UE_EXPORT int openat64(int dir, const char *path, int flags, ...)
{
    NEED_REAL();
    va_list ap;
    va_start(ap, flags);
    int mode = open_mode(flags, ap);
    va_end(ap);
    int fd = real_openat64 ? real_openat64(dir, path, flags, mode)
                           : real_openat(dir, path, flags, mode);
    after_open(fd, path, flags);
    return fd;
}

/* The fortified entry points (-D_FORTIFY_SOURCE) of the same calls. */
UE_EXPORT int __open_2(const char *path, int flags) { return open(path, flags); }
UE_EXPORT int __open64_2(const char *path, int flags) { return open64(path, flags); }
UE_EXPORT int __openat_2(int dir, const char *path, int flags)
{
    return openat(dir, path, flags);
}
UE_EXPORT int __openat64_2(int dir, const char *path, int flags)
{
    return openat64(dir, path, flags);
}

/* Forgets the port (or the trace descriptor) on fd, which the caller is about to close or
 * replace; a port is drained first when drain is set. */
static void forget_fd(int fd, int drain)
{
    ue_lock();
    ue_trace_fd_closed(fd);
    struct ue_port *p = ue_port_of(fd);
    if (p && drain)
        p = ue_port_drain(fd, ue_now_ns() + 30 * (int64_t)1000000000);
    if (p) {
        ue_port_end_lsr_wait(p);
        ue_trace(ue_now_ns(), fd, "close", "pending=%ld", ue_port_pending(p));
        ue_port_drop(p);
    }
    ue_unlock();
}

UE_EXPORT int close(int fd)
{
    NEED_REAL();
    int saved = errno;
    forget_fd(fd, 1);
    errno = saved;
    return ue_real_close(fd);
}

UE_EXPORT int dup2(int old, int fd)
{
    NEED_REAL();
    if (old != fd && fd >= 0) {
        int saved = errno;
        forget_fd(fd, 0);
        errno = saved;
    }
    return real_dup2(old, fd);
}

UE_EXPORT int dup3(int old, int fd, int flags)
{
    NEED_REAL();
    if (old != fd && fd >= 0) {
        int saved = errno;
        forget_fd(fd, 0);
        errno = saved;
    }
    return real_dup3(old, fd, flags);
}

/* ---- read, write, poll --------------------------------------------------------------- */

static int fd_blocking(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && !(fl & O_NONBLOCK);
}

/* Waits (without the lock) until fd is readable or until the port's next byte is due. */
static void wait_readable_or_due(int fd, int64_t due)
{
    int64_t left = due - ue_now_ns();
    if (left <= 0)
        return;
    struct timespec ts = {(time_t)(left / 1000000000), (long)(left % 1000000000)};
    struct pollfd pfd = {fd, POLLIN, 0};
    ue_real_ppoll(&pfd, 1, &ts, NULL);
}

static void trace_rx(int fd, const uint8_t *buf, ssize_t n, size_t injected)
{
    if (n > 0)
        ue_trace_data(ue_now_ns(), fd, "rx", buf, (size_t)n, "n=%zd inj=%zu", n, injected);
}

UE_EXPORT ssize_t read(int fd, void *buf, size_t count)
{
    NEED_REAL();
    if (!ue_is_port_fd(fd) || count == 0)
        return ue_real_read(fd, buf, count);
    int blocking = fd_blocking(fd);
    for (;;) {
        ue_lock();
        struct ue_port *p = ue_port_of(fd);
        if (!p) {
            ue_unlock();
            return ue_real_read(fd, buf, count);
        }
        int64_t now = ue_now_ns();
        ue_port_pump(p, now);
        ue_port_end_lsr_wait(p);
        int saved = errno;
        int waiting = 0;
        if (ue_real_ioctl(fd, FIONREAD, &waiting) != 0)
            waiting = 0;
        errno = saved;
        if (p->inj_len) {
            size_t got = ue_port_take_injected(p, buf, count);
            ssize_t total = (ssize_t)got;
            if (got < count && waiting > 0) {
                size_t more = count - got < (size_t)waiting ? count - got : (size_t)waiting;
                ssize_t r = ue_real_read(fd, (uint8_t *)buf + got, more);
                if (r > 0)
                    total += r;
                errno = saved;
            }
            trace_rx(fd, buf, total, got);
            ue_unlock();
            return total;
        }
        int64_t due = ue_port_next_due(p);
        if (waiting > 0 || !blocking || due < 0) {
            ue_unlock();
            /* Nothing more will be injected before the kernel's input: read it as it is. */
            ssize_t r = ue_real_read(fd, buf, count);
            if (r > 0) {
                saved = errno;
                ue_lock();
                trace_rx(fd, buf, r, 0);
                ue_unlock();
                errno = saved;
            }
            return r;
        }
        ue_unlock();
        wait_readable_or_due(fd, due);
    }
}

UE_EXPORT ssize_t __read_chk(int fd, void *buf, size_t count, size_t size)
{
    if (count > size)
        abort();
    return read(fd, buf, count);
}

UE_EXPORT ssize_t write(int fd, const void *buf, size_t count)
{
    NEED_REAL();
    if (!ue_is_port_fd(fd))
        return ue_real_write(fd, buf, count);
    ue_lock();
    struct ue_port *p = ue_port_of(fd);
    ssize_t r;
    if (p) {
        r = ue_port_write(p, buf, count, ue_now_ns());
        int saved = errno;
        ue_unlock();
        errno = saved;
    } else {
        ue_unlock();
        r = ue_real_write(fd, buf, count);
    }
    return r;
}

/* Marks POLLIN on the ports in fds that hold injected input; returns the number of entries
 * with events, and in *due the earliest moment a port's transmitter completes a byte. */
static int merge_injected(struct pollfd *fds, nfds_t n, int64_t *due)
{
    int ready = 0;
    *due = -1;
    int64_t now = ue_now_ns();
    ue_lock();
    for (nfds_t i = 0; i < n; ++i) {
        struct ue_port *p = ue_port_of(fds[i].fd);
        if (!p)
            continue;
        ue_port_pump(p, now);
        ue_port_end_lsr_wait(p);
        if (p->inj_len && (fds[i].events & (POLLIN | POLLRDNORM)))
            fds[i].revents |= (short)(fds[i].events & (POLLIN | POLLRDNORM));
        int64_t d = ue_port_next_due(p);
        if (d >= 0 && (*due < 0 || d < *due))
            *due = d;
    }
    ue_unlock();
    for (nfds_t i = 0; i < n; ++i)
        if (fds[i].revents)
            ++ready;
    return ready;
}

UE_EXPORT int poll(struct pollfd *fds, nfds_t n, int timeout)
{
    NEED_REAL();
    int ports = 0;
    for (nfds_t i = 0; i < n; ++i)
        ports |= ue_is_port_fd(fds[i].fd);
    if (!ports)
        return real_poll(fds, n, timeout);
    int64_t deadline = timeout < 0 ? -1 : ue_now_ns() + (int64_t)timeout * 1000000;
    for (;;) {
        /* The kernel's view first, without waiting, then the injected input on top. */
        int r = ue_real_ppoll(fds, n, &(struct timespec){0, 0}, NULL);
        if (r < 0)
            return r;
        int64_t due;
        int saved = errno;
        int ready = merge_injected(fds, n, &due);
        errno = saved;
        if (ready > 0)
            return ready;
        int64_t now = ue_now_ns();
        if (deadline >= 0 && now >= deadline)
            return 0;
        int64_t until = deadline;
        if (due >= 0 && (until < 0 || due < until))
            until = due;
        struct timespec ts, *tsp = NULL;
        if (until >= 0) {
            int64_t left = until > now ? until - now : 0;
            ts.tv_sec = (time_t)(left / 1000000000);
            ts.tv_nsec = (long)(left % 1000000000);
            tsp = &ts;
        }
        r = ue_real_ppoll(fds, n, tsp, NULL);
        if (r != 0) {
            if (r > 0) {
                saved = errno;
                r = merge_injected(fds, n, &due);
                errno = saved;
            }
            return r;
        }
    }
}

UE_EXPORT int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t size)
{
    if (size / sizeof *fds < n)
        abort();
    return poll(fds, n, timeout);
}

/* ---- termios -------------------------------------------------------------------------- */

/* The port of fd for a termios call or an emulated ioctl: descriptors above 2 are attached
 * on first sight when they are pty slaves (0..2 only when opened through open()). */
static struct ue_port *port_for_control(int fd)
{
    struct ue_port *p = ue_port_of(fd);
    if (!p && fd > 2)
        p = ue_port_attach(fd, NULL, 0, 0);
    return p;
}

#define UE_FRAMING (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)

/* What a pty takes: eight data bits, no parity. */
static tcflag_t kernel_cflag(tcflag_t cflag)
{
    return (cflag & ~(tcflag_t)(CSIZE | PARENB | PARODD | CMSPAR)) | CS8;
}

UE_EXPORT int tcsetattr(int fd, int action, const struct termios *t)
{
    NEED_REAL();
    if (fd < 0 || !t || (action != TCSANOW && action != TCSADRAIN && action != TCSAFLUSH))
        return real_tcsetattr(fd, action, t);
    ue_lock();
    struct ue_port *p = port_for_control(fd);
    if (!p) {
        ue_unlock();
        return real_tcsetattr(fd, action, t);
    }
    ue_ctl_check();
    ue_port_pump(p, ue_now_ns());
    ue_port_end_lsr_wait(p);
    if (action != TCSANOW && !(p = ue_port_drain(fd, ue_now_ns() + 30 * (int64_t)1000000000))) {
        ue_unlock();
        return real_tcsetattr(fd, action, t);
    }
    struct termios k = *t;
    k.c_cflag = kernel_cflag(t->c_cflag);
    /* TCSANOW for the kernel: its drain would wait for the line end to read. */
    int rc = real_tcsetattr(fd, TCSANOW, &k);
    int saved = errno;
    int64_t now = ue_now_ns();
    if (rc == 0) {
        ue_port_set_mode(p, t->c_cflag);
        if (action == TCSAFLUSH)
            ue_port_flush(p, TCIFLUSH, now);
    }
    ue_port_trace_mode(p, now, rc);
    ue_unlock();
    errno = saved;
    return rc;
}

UE_EXPORT int tcgetattr(int fd, struct termios *t)
{
    NEED_REAL();
    int rc = ue_real_tcgetattr(fd, t);
    if (rc != 0)
        return rc;
    int saved = errno;
    ue_lock();
    struct ue_port *p = port_for_control(fd);
    if (p)
        t->c_cflag = (t->c_cflag & ~(tcflag_t)UE_FRAMING) | (p->cflag & UE_FRAMING);
    ue_unlock();
    errno = saved;
    return 0;
}

UE_EXPORT int tcflush(int fd, int queue)
{
    NEED_REAL();
    if (queue != TCIFLUSH && queue != TCOFLUSH && queue != TCIOFLUSH)
        return ue_real_tcflush(fd, queue);
    ue_lock();
    struct ue_port *p = port_for_control(fd);
    if (!p) {
        ue_unlock();
        return ue_real_tcflush(fd, queue);
    }
    ue_port_flush(p, queue, ue_now_ns());
    ue_unlock();
    return 0;
}

static int drain_port(int fd, struct ue_port *p)
{
    ue_port_end_lsr_wait(p);
    int64_t now = ue_now_ns();
    int64_t end = p->tx_end_ns;
    ue_port_drain(fd, now + 30 * (int64_t)1000000000);
    ue_trace(now, fd, "drain", "end=%lld", (long long)(end / 1000));
    return 0;
}

UE_EXPORT int tcdrain(int fd)
{
    NEED_REAL();
    ue_lock();
    struct ue_port *p = port_for_control(fd);
    if (!p) {
        ue_unlock();
        return real_tcdrain(fd);
    }
    int rc = drain_port(fd, p);
    ue_unlock();
    return rc;
}

/* ---- ioctl ---------------------------------------------------------------------------- */

/* The kernel's termios record (TCGETS/TCSETS): four flag words, then the line discipline
 * and the control characters; the control flags are the third word on every Linux ABI. */
#define KTERMIOS_SIZE 36
#define KTERMIOS_CFLAG 2

static int emulated_request(unsigned long req)
{
    switch (req) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCSERGETLSR:
    case FIONREAD:
    case TIOCOUTQ:
    case TCFLSH:
    case TCSBRK:
    case TCGETS:
    case TCSETS:
    case TCSETSW:
    case TCSETSF:
        return 1;
    default:
        return 0;
    }
}

static int port_ioctl(struct ue_port *p, int fd, unsigned long req, void *arg)
{
    int64_t now = ue_now_ns();
    int *word = arg;
    switch (req) {
    case TIOCMGET:
        ue_port_pump(p, now);
        ue_port_end_lsr_wait(p);
        *word = (int)p->mctl;
        return 0;
    case TIOCMSET:
        ue_port_set_mctl(p, (unsigned)*word, now);
        return 0;
    case TIOCMBIS:
        ue_port_set_mctl(p, p->mctl | (unsigned)*word, now);
        return 0;
    case TIOCMBIC:
        ue_port_set_mctl(p, p->mctl & ~(unsigned)*word, now);
        return 0;
    case TIOCSERGETLSR: {
        unsigned v = 0;
        if (ue_port_lsr(p, now, &v) != 0)
            return -1;
        *word = (int)v;
        return 0;
    }
    case FIONREAD: {
        ue_port_pump(p, now);
        ue_port_end_lsr_wait(p);
        int k = 0;
        int rc = ue_real_ioctl(fd, FIONREAD, &k);
        if (rc != 0)
            return rc;
        *word = k + (int)p->inj_len;
        return 0;
    }
    case TIOCOUTQ:
        ue_port_pump(p, now);
        ue_port_end_lsr_wait(p);
        *word = (int)ue_port_pending(p);
        return 0;
    case TCFLSH: {
        int queue = (int)(intptr_t)arg;
        if (queue != TCIFLUSH && queue != TCOFLUSH && queue != TCIOFLUSH) {
            errno = EINVAL;
            return -1;
        }
        ue_port_flush(p, queue, now);
        return 0;
    }
    case TCSBRK:
        ue_port_pump(p, now);
        if ((int)(intptr_t)arg == 0)
            ue_trace(now, fd, "break", "ms=%d", 250);
        return drain_port(fd, p);
    case TCGETS: {
        int rc = ue_real_ioctl(fd, req, arg);
        if (rc == 0) {
            unsigned *k = arg;
            k[KTERMIOS_CFLAG] = (k[KTERMIOS_CFLAG] & ~(unsigned)UE_FRAMING) |
                                (p->cflag & UE_FRAMING);
        }
        return rc;
    }
    default: { /* TCSETS, TCSETSW, TCSETSF */
        ue_ctl_check();
        ue_port_pump(p, now);
        ue_port_end_lsr_wait(p);
        if (req != TCSETS && !(p = ue_port_drain(fd, now + 30 * (int64_t)1000000000)))
            return ue_real_ioctl(fd, req, arg);
        unsigned k[KTERMIOS_SIZE / sizeof(unsigned) + 1];
        memcpy(k, arg, KTERMIOS_SIZE);
        unsigned asked = k[KTERMIOS_CFLAG];
        k[KTERMIOS_CFLAG] = (unsigned)kernel_cflag(asked);
        int rc = ue_real_ioctl(fd, TCSETS, k);
        int saved = errno;
        now = ue_now_ns();
        if (rc == 0) {
            ue_port_set_mode(p, asked);
            if (req == TCSETSF)
                ue_port_flush(p, TCIFLUSH, now);
        }
        ue_port_trace_mode(p, now, rc);
        errno = saved;
        return rc;
    }
    }
}

UE_EXPORT int ioctl(int fd, unsigned long req, ...)
{
    NEED_REAL();
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd < 0 || !emulated_request(req))
        return ue_real_ioctl(fd, req, arg);
    ue_lock();
    struct ue_port *p = port_for_control(fd);
    if (!p) {
        ue_unlock();
        return ue_real_ioctl(fd, req, arg);
    }
    int rc = port_ioctl(p, fd, req, arg);
    int saved = errno;
    ue_unlock();
    errno = saved;
    return rc;
}
