/* uartemu_hooks.c - the C library functions that libuartemu.so interposes (LD_PRELOAD):
 * open/close, read/write, poll, ioctl and the termios calls that glibc makes as direct
 * system calls. A call on an emulated port goes to the port model; every other call goes
 * on to the next definition (the C library, or a sanitizer's interceptor). */
#define _GNU_SOURCE
#include "uartemu_ctl.h"
#include "uartemu_port.h"
#include "uartemu_real.h"
#include "uartemu_traceout.h"
#include "../preload/preload_scrub.h"

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

/* ---- load and unload ---------------------------------------------------------------- */

static void before_fork(void) { ue_lock(); }
static void after_fork_parent(void) { ue_unlock(); }
static void after_fork_child(void) { ue_port_reset_after_fork(); }


__attribute__((constructor)) static void ue_load(void)
{
    ue_resolve();
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

/* A descriptor just opened: a port when it is a pty slave. Returns fd. */
static int after_open(int fd, const char *path, int flags)
{
    if (fd < 0 || fd >= UE_MAX_FDS)
        return fd;
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
    return fd;
}

static int open_mode(int flags, va_list ap)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
}

/* The mode argument of the open call in progress (there with O_CREAT or O_TMPFILE only). */
#define OPEN_MODE(flags)                                                                      \
    ({                                                                                        \
        va_list ap;                                                                           \
        va_start(ap, flags);                                                                  \
        int mode = open_mode(flags, ap);                                                      \
        va_end(ap);                                                                           \
        mode;                                                                                 \
    })

UE_EXPORT int open(const char *path, int flags, ...)
{
    ue_resolve();
    return after_open(ue_real_open(path, flags, OPEN_MODE(flags)), path, flags);
}

UE_EXPORT int open64(const char *path, int flags, ...)
{
    ue_resolve();
    return after_open(ue_real_open64(path, flags, OPEN_MODE(flags)), path, flags);
}

UE_EXPORT int openat(int dir, const char *path, int flags, ...)
{
    ue_resolve();
    return after_open(ue_real_openat(dir, path, flags, OPEN_MODE(flags)), path, flags);
}

UE_EXPORT int openat64(int dir, const char *path, int flags, ...)
{
    ue_resolve();
    return after_open(ue_real_openat64(dir, path, flags, OPEN_MODE(flags)), path, flags);
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
 * replace; a port is drained first when drain is set. errno is kept. */
static void forget_fd(int fd, int drain)
{
    int saved = errno;
    ue_lock();
    ue_trace_fd_closed(fd);
    struct ue_port *p = ue_port_of(fd);
    if (p && drain)
        p = ue_port_drain(fd, ue_now_ns() + UE_DRAIN_NS);
    if (p) {
        ue_port_end_lsr_wait(p);
        ue_trace(ue_now_ns(), fd, "close", "pending=%ld", ue_port_pending(p));
        ue_port_drop(p);
    }
    ue_unlock();
    errno = saved;
}

UE_EXPORT int close(int fd)
{
    ue_resolve();
    forget_fd(fd, 1);
    return ue_real_close(fd);
}

UE_EXPORT int dup2(int old, int fd)
{
    ue_resolve();
    if (old != fd && fd >= 0)
        forget_fd(fd, 0);
    return ue_real_dup2(old, fd);
}

UE_EXPORT int dup3(int old, int fd, int flags)
{
    ue_resolve();
    if (old != fd && fd >= 0)
        forget_fd(fd, 0);
    return ue_real_dup3(old, fd, flags);
}

/* ---- read, write, poll --------------------------------------------------------------- */

/* The port of fd, with the lock held; NULL, and the lock not held, when fd is no port. With
 * attach (termios calls, emulated ioctls), descriptors above 2 are attached on first sight
 * when they are pty slaves (0..2 only when opened through open()). */
static struct ue_port *lock_port(int fd, int attach)
{
    ue_lock();
    struct ue_port *p = ue_port_of(fd);
    if (!p && attach && fd > 2)
        p = ue_port_attach(fd, NULL, 0, 0);
    if (!p)
        ue_unlock();
    return p;
}

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
    struct timespec ts = ue_timespec(left);
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
    ue_resolve();
    if (!ue_is_port_fd(fd) || count == 0)
        return ue_real_read(fd, buf, count);
    int blocking = fd_blocking(fd);
    for (;;) {
        struct ue_port *p = lock_port(fd, 0);
        if (!p)
            return ue_real_read(fd, buf, count);
        ue_port_catch_up(p, ue_now_ns());
        int saved = errno;
        int waiting = ue_port_kernel_input(p);
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
                ue_lock();
                trace_rx(fd, buf, r, 0);
                ue_unlock();
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
    ue_resolve();
    struct ue_port *p = ue_is_port_fd(fd) ? lock_port(fd, 0) : NULL;
    if (!p)
        return ue_real_write(fd, buf, count);
    ssize_t r = ue_port_write(p, buf, count, ue_now_ns());
    ue_unlock();
    return r;
}

/* Marks POLLIN on the ports in fds that hold injected input; returns the number of entries
 * with events, and in *due the earliest moment a port's transmitter completes a byte. errno
 * is kept. */
static int merge_injected(struct pollfd *fds, nfds_t n, int64_t *due)
{
    int ready = 0, saved = errno;
    *due = -1;
    int64_t now = ue_now_ns();
    ue_lock();
    for (nfds_t i = 0; i < n; ++i) {
        struct ue_port *p = ue_port_of(fds[i].fd);
        if (!p)
            continue;
        ue_port_catch_up(p, now);
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
    errno = saved;
    return ready;
}

UE_EXPORT int poll(struct pollfd *fds, nfds_t n, int timeout)
{
    ue_resolve();
    int ports = 0;
    for (nfds_t i = 0; i < n; ++i)
        ports |= ue_is_port_fd(fds[i].fd);
    if (!ports)
        return ue_real_poll(fds, n, timeout);
    int64_t deadline = timeout < 0 ? -1 : ue_now_ns() + (int64_t)timeout * 1000000;
    for (;;) {
        /* The kernel's view first, without waiting, then the injected input on top. */
        int r = ue_real_ppoll(fds, n, &(struct timespec){0, 0}, NULL);
        if (r < 0)
            return r;
        int64_t due;
        int ready = merge_injected(fds, n, &due);
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
            ts = ue_timespec(until > now ? until - now : 0);
            tsp = &ts;
        }
        r = ue_real_ppoll(fds, n, tsp, NULL);
        if (r != 0)
            return r > 0 ? merge_injected(fds, n, &due) : r;
    }
}

UE_EXPORT int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t size)
{
    if (size / sizeof *fds < n)
        abort();
    return poll(fds, n, timeout);
}

/* ---- termios -------------------------------------------------------------------------- */

/* What a pty takes: eight data bits, no parity. */
static tcflag_t kernel_cflag(tcflag_t cflag)
{
    return (cflag & ~(tcflag_t)(CSIZE | PARENB | PARODD | CMSPAR)) | CS8;
}

/* The kernel's control flags with the framing the program asked for put back. */
static tcflag_t asked_cflag(const struct ue_port *p, tcflag_t kernel)
{
    return (kernel & ~(tcflag_t)UE_FRAMING) | (p->cflag & UE_FRAMING);
}

/* A mode change (tcsetattr, TCSETS*), before the kernel's: the port brought up to now and,
 * unless the change is immediate, its transmitter drained. NULL: fd was closed meanwhile. */
static struct ue_port *before_mode(struct ue_port *p, int fd, int immediate)
{
    ue_ctl_check();
    ue_port_catch_up(p, ue_now_ns());
    return immediate ? p : ue_port_drain(fd, ue_now_ns() + UE_DRAIN_NS);
}

/* After the kernel's (result rc, errno as it left it): the asked mode kept when the kernel
 * took its copy, the input flushed when asked, the mode traced. Returns rc, errno kept. */
static int after_mode(struct ue_port *p, tcflag_t asked, int flush_input, int rc)
{
    int saved = errno;
    int64_t now = ue_now_ns();
    if (rc == 0) {
        ue_port_set_mode(p, asked);
        if (flush_input)
            ue_port_flush(p, TCIFLUSH, now);
    }
    ue_port_trace_mode(p, now, rc);
    errno = saved;
    return rc;
}

UE_EXPORT int tcsetattr(int fd, int action, const struct termios *t)
{
    ue_resolve();
    struct ue_port *p = NULL;
    if (fd >= 0 && t && (action == TCSANOW || action == TCSADRAIN || action == TCSAFLUSH))
        p = lock_port(fd, 1);
    if (p && !(p = before_mode(p, fd, action == TCSANOW)))
        ue_unlock();
    if (!p)
        return ue_real_tcsetattr(fd, action, t);
    struct termios k = *t;
    k.c_cflag = kernel_cflag(t->c_cflag);
    /* TCSANOW for the kernel: its drain would wait for the line end to read. */
    int rc = after_mode(p, t->c_cflag, action == TCSAFLUSH, ue_real_tcsetattr(fd, TCSANOW, &k));
    ue_unlock();
    return rc;
}

UE_EXPORT int tcgetattr(int fd, struct termios *t)
{
    ue_resolve();
    int rc = ue_real_tcgetattr(fd, t);
    if (rc != 0)
        return rc;
    int saved = errno;
    struct ue_port *p = lock_port(fd, 1);
    if (p) {
        t->c_cflag = asked_cflag(p, t->c_cflag);
        ue_unlock();
    }
    errno = saved;
    return 0;
}

UE_EXPORT int tcflush(int fd, int queue)
{
    ue_resolve();
    struct ue_port *p = NULL;
    if (queue == TCIFLUSH || queue == TCOFLUSH || queue == TCIOFLUSH)
        p = lock_port(fd, 1);
    if (!p)
        return ue_real_tcflush(fd, queue);
    ue_port_flush(p, queue, ue_now_ns());
    ue_unlock();
    return 0;
}

static int drain_port(struct ue_port *p)
{
    int fd = p->fd;
    ue_port_end_lsr_wait(p);
    int64_t now = ue_now_ns();
    int64_t end = p->tx_end_ns;
    ue_port_drain(fd, now + UE_DRAIN_NS);
    ue_trace(now, fd, "drain", "end=%lld", (long long)(end / 1000));
    return 0;
}

UE_EXPORT int tcdrain(int fd)
{
    ue_resolve();
    struct ue_port *p = lock_port(fd, 1);
    if (!p)
        return ue_real_tcdrain(fd);
    int rc = drain_port(p);
    ue_unlock();
    return rc;
}

/* ---- ioctl: one step per group of requests -------------------------------------------- */

/* The kernel's termios record (TCGETS/TCSETS): four flag words, then the line discipline
 * and the control characters; the control flags are the third word on every Linux ABI. */
#define KTERMIOS_SIZE 36
#define KTERMIOS_CFLAG 2

/* TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC: the port's modem-control word. */
static int modem_ioctl(struct ue_port *p, unsigned long req, void *arg)
{
    int64_t now = ue_now_ns();
    int *word = arg;
    if (req == TIOCMGET) {
        ue_port_catch_up(p, now);
        *word = (int)p->mctl;
        return 0;
    }
    unsigned bits = (unsigned)*word;
    unsigned mctl = req == TIOCMSET ? bits : req == TIOCMBIS ? p->mctl | bits : p->mctl & ~bits;
    ue_port_set_mctl(p, mctl, now);
    return 0;
}

/* TIOCSERGETLSR, FIONREAD, TIOCOUTQ: the line-status word, the bytes to read (injected and
 * the kernel's), the bytes not yet out. */
static int status_ioctl(struct ue_port *p, unsigned long req, void *arg)
{
    int64_t now = ue_now_ns();
    int *word = arg;
    if (req == TIOCSERGETLSR) {
        unsigned v = 0;
        if (ue_port_lsr(p, now, &v) != 0)
            return -1;
        *word = (int)v;
        return 0;
    }
    ue_port_catch_up(p, now);
    int k = 0, rc = req == TIOCOUTQ ? 0 : ue_real_ioctl(p->fd, FIONREAD, &k);
    if (rc == 0)
        *word = req == TIOCOUTQ ? (int)ue_port_pending(p) : k + (int)p->inj_len;
    return rc;
}

/* TCFLSH (the queue as the argument) and TCSBRK (0: a break, traced; then a drain). */
static int queue_ioctl(struct ue_port *p, unsigned long req, void *arg)
{
    int64_t now = ue_now_ns();
    int value = (int)(intptr_t)arg;
    if (req == TCSBRK) {
        ue_port_pump(p, now);
        if (value == 0)
            ue_trace(now, p->fd, "break", "ms=%d", 250);
        return drain_port(p);
    }
    if (value != TCIFLUSH && value != TCOFLUSH && value != TCIOFLUSH) {
        errno = EINVAL;
        return -1;
    }
    ue_port_flush(p, value, now);
    return 0;
}

/* TCGETS: the kernel's record with the asked framing; TCSETS, TCSETSW, TCSETSF: as
 * tcsetattr with TCSANOW, TCSADRAIN, TCSAFLUSH. */
static int termios_ioctl(struct ue_port *p, unsigned long req, void *arg)
{
    int fd = p->fd;
    unsigned *record = arg, k[KTERMIOS_SIZE / sizeof(unsigned) + 1];
    if (req == TCGETS) {
        int rc = ue_real_ioctl(fd, req, arg);
        if (rc == 0)
            record[KTERMIOS_CFLAG] = (unsigned)asked_cflag(p, record[KTERMIOS_CFLAG]);
        return rc;
    }
    if (!(p = before_mode(p, fd, req == TCSETS)))
        return ue_real_ioctl(fd, req, arg);
    memcpy(k, arg, KTERMIOS_SIZE);
    k[KTERMIOS_CFLAG] = (unsigned)kernel_cflag(record[KTERMIOS_CFLAG]);
    return after_mode(p, record[KTERMIOS_CFLAG], req == TCSETSF, ue_real_ioctl(fd, TCSETS, k));
}

typedef int ioctl_step(struct ue_port *p, unsigned long req, void *arg);

/* The requests emulated on a port; any other goes to the kernel. */
static const struct {
    unsigned long req;
    ioctl_step *step;
} emulated[] = {
    {TIOCMGET, modem_ioctl},       {TIOCMSET, modem_ioctl},  {TIOCMBIS, modem_ioctl},
    {TIOCMBIC, modem_ioctl},       {FIONREAD, status_ioctl}, {TIOCOUTQ, status_ioctl},
    {TIOCSERGETLSR, status_ioctl}, {TCFLSH, queue_ioctl},    {TCSBRK, queue_ioctl},
    {TCGETS, termios_ioctl},       {TCSETS, termios_ioctl},  {TCSETSW, termios_ioctl},
    {TCSETSF, termios_ioctl},
};

UE_EXPORT int ioctl(int fd, unsigned long req, ...)
{
    ue_resolve();
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    ioctl_step *step = NULL;
    for (size_t i = 0; fd >= 0 && i < sizeof emulated / sizeof emulated[0]; ++i)
        if (emulated[i].req == req)
            step = emulated[i].step;
    struct ue_port *p = step ? lock_port(fd, 1) : NULL;
    if (!p)
        return ue_real_ioctl(fd, req, arg);
    int rc = step(p, req, arg);
    ue_unlock();
    return rc;
}
