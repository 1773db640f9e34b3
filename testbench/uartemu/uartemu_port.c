/* uartemu_port.c - the emulated ports: which descriptors are pty slaves, the requested line
 * mode and its character time, the transmitter (bytes with their moments on the wire and
 * where each goes once it has left), the injected input queue, the modem-control word and
 * the line-status word. Everything here runs with the process-wide lock held. */
#define _GNU_SOURCE
#include "uartemu_port.h"
#include "linespeed_table.h"
#include "uartemu_ctl.h"
#include "uartemu_traceout.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

static pthread_mutex_t ue_mutex = PTHREAD_MUTEX_INITIALIZER;
static struct ue_port ue_ports[UE_MAX_PORTS];
/* Port index + 1 per descriptor, 0 for none; read without the lock by the fast checks. */
static unsigned char ue_port_index[UE_MAX_FDS];

void ue_lock(void)
{
    int saved = errno;
    pthread_mutex_lock(&ue_mutex);
    errno = saved;
}

void ue_unlock(void)
{
    int saved = errno;
    pthread_mutex_unlock(&ue_mutex);
    errno = saved;
}

static long long us(int64_t ns) { return (long long)(ns / 1000); }

int ue_is_port_fd(int fd)
{
    return fd >= 0 && fd < UE_MAX_FDS && __atomic_load_n(&ue_port_index[fd], __ATOMIC_ACQUIRE);
}

struct ue_port *ue_port_of(int fd)
{
    if (fd < 0 || fd >= UE_MAX_FDS || !ue_port_index[fd])
        return NULL;
    return &ue_ports[ue_port_index[fd] - 1];
}

int ue_is_pty_slave(int fd)
{
    struct stat st;
    int saved = errno;
    int r = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
            major(st.st_rdev) <= 143;
    errno = saved;
    return r;
}


static int data_bits(tcflag_t cflag)
{
    return (cflag & CSIZE) == CS5 ? 5 : (cflag & CSIZE) == CS6 ? 6 : (cflag & CSIZE) == CS7 ? 7 : 8;
}

void ue_port_set_mode(struct ue_port *p, tcflag_t cflag)
{
    int data = data_bits(cflag);
    p->cflag = cflag & (UE_FRAMING | CBAUD);
    p->bps = tb_speed_bits(cflag & CBAUD);
    p->frame_bits = 1 + data + ((cflag & PARENB) ? 1 : 0) + ((cflag & CSTOPB) ? 2 : 1);
    p->char_ns = (double)p->frame_bits * 1e9 / (double)p->bps;
}

void ue_port_trace_mode(struct ue_port *p, int64_t now, int rc)
{
    char parity = !(p->cflag & PARENB) ? 'N' : (p->cflag & PARODD) ? 'O' : 'E';
    ue_trace(now, p->fd, "mode", "speed=%u data=%d parity=%c stop=%d bits=%d char_us=%.3f rc=%d",
             p->bps, data_bits(p->cflag), parity, (p->cflag & CSTOPB) ? 2 : 1, p->frame_bits,
             p->char_ns / 1000.0, rc);
}

struct ue_port *ue_port_attach(int fd, const char *path, int how_open, int flags)
{
    struct ue_port *p = ue_port_of(fd);
    if (p || fd < 0 || fd >= UE_MAX_FDS)
        return p;
    if (!ue_is_pty_slave(fd))
        return NULL;
    int slot = -1;
    for (int i = 0; i < UE_MAX_PORTS; ++i)
        if (!ue_ports[i].used) {
            slot = i;
            break;
        }
    if (slot < 0)
        return NULL;
    p = &ue_ports[slot];
    memset(p, 0, sizeof *p);
    p->used = 1;
    p->fd = fd;
    char link[40], real[sizeof p->path];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, real, sizeof real - 1);
    real[n > 0 ? n : 0] = 0;
    snprintf(p->path, sizeof p->path, "%s", path ? path : real);
    snprintf(p->rpath, sizeof p->rpath, "%s", real);
    struct termios t;
    int saved = errno;
    if (ue_real_tcgetattr(fd, &t) == 0)
        ue_port_set_mode(p, t.c_cflag);
    else
        ue_port_set_mode(p, B9600 | CS8);
    errno = saved;
    __atomic_store_n(&ue_port_index[fd], (unsigned char)(slot + 1), __ATOMIC_RELEASE);
    ue_ctl_check();
    /* Linux's serial core raises DTR and RTS when a port is opened (at any speed but B0),
     * and they stay up until the program clears them. */
    struct ue_settings s;
    ue_ctl_settings(p->path, p->rpath, &s);
    p->mctl = s.open_low ? 0 : (TIOCM_DTR | TIOCM_RTS);
    int64_t now = ue_now_ns();
    if (how_open)
        ue_trace(now, fd, "open", "path=%s flags=0x%x mctl=0x%03x", p->path, (unsigned)flags,
                 p->mctl);
    else
        ue_trace(now, fd, "attach", "path=%s mctl=0x%03x", p->path, p->mctl);
    ue_port_trace_mode(p, now, 0);
    return p;
}

void ue_port_drop(struct ue_port *p)
{
    if (!p || !p->used)
        return;
    if (p->sigio_pid == getpid()) {
        timer_delete(p->sigio[0]);
        timer_delete(p->sigio[1]);
    }
    __atomic_store_n(&ue_port_index[p->fd], 0, __ATOMIC_RELEASE);
    free(p->tx);
    free(p->inj);
    memset(p, 0, sizeof *p);
}

static void inj_push(struct ue_port *p, uint8_t b)
{
    if (p->inj_head + p->inj_len == p->inj_cap) {
        if (p->inj_head > 0) {
            memmove(p->inj, p->inj + p->inj_head, p->inj_len);
            p->inj_head = 0;
        } else {
            size_t cap = p->inj_cap ? p->inj_cap * 2 : 256;
            uint8_t *grown = realloc(p->inj, cap);
            if (!grown)
                return; /* an input overrun: the byte is lost */
            p->inj = grown;
            p->inj_cap = cap;
        }
    }
    p->inj[p->inj_head + p->inj_len++] = b;
}

size_t ue_port_take_injected(struct ue_port *p, uint8_t *buf, size_t n)
{
    size_t k = n < p->inj_len ? n : p->inj_len;
    memcpy(buf, p->inj + p->inj_head, k);
    p->inj_head += k;
    p->inj_len -= k;
    if (!p->inj_len)
        p->inj_head = 0;
    return k;
}

static void deliver_line(struct ue_port *p, const uint8_t *buf, size_t n, int64_t due,
                         int64_t now)
{
    size_t done = 0;
    int saved = errno;
    while (done < n) {
        ssize_t w = ue_real_write(p->fd, buf + done, n - done);
        if (w <= 0) {
            if (w < 0 && errno == EINTR)
                continue;
            break; /* the line end is gone (master closed) or the port is non-blocking */
        }
        done += (size_t)w;
    }
    errno = saved;
    ue_trace(now, p->fd, "deliver", "n=%zu due=%lld%s", n, us(due),
             done < n ? " short=1" : "");
}

void ue_port_pump(struct ue_port *p, int64_t now)
{
    uint8_t line[256];
    size_t nline = 0;
    int64_t due = 0;
    while (p->tx_head < p->tx_len && p->tx[p->tx_head].due_ns <= now) {
        const struct ue_txbyte *b = &p->tx[p->tx_head++];
        switch (b->fate) {
        case UE_TO_LINE_ECHO:
            inj_push(p, b->byte);
            /* fall through */
        case UE_TO_LINE:
            if (nline == sizeof line) {
                deliver_line(p, line, nline, due, now);
                nline = 0;
            }
            line[nline++] = b->byte;
            due = b->end_ns;
            break;
        case UE_TO_LOOP:
            inj_push(p, b->byte);
            break;
        default:
            break;
        }
    }
    if (nline)
        deliver_line(p, line, nline, due, now);
    if (p->tx_head == p->tx_len)
        p->tx_head = p->tx_len = 0;
}

static void trace_lsr_wait(struct ue_port *p, int failed)
{
    if (failed)
        ue_trace(p->lsr_first_ns, p->fd, "lsr", "last=%lld polls=%ld fail=1", us(p->lsr_last_ns),
                 p->lsr_polls);
    else
        ue_trace(p->lsr_first_ns, p->fd, "lsr", "last=%lld prev=%lld polls=%ld v=0x%02x",
                 us(p->lsr_last_ns), p->lsr_polls > 1 ? us(p->lsr_prev_ns) : -1LL, p->lsr_polls,
                 p->lsr_value);
}

void ue_port_end_lsr_wait(struct ue_port *p)
{
    if (!p->lsr_open)
        return;
    trace_lsr_wait(p, 0);
    p->lsr_open = 0;
}

void ue_port_catch_up(struct ue_port *p, int64_t now)
{
    ue_port_pump(p, now);
    ue_port_end_lsr_wait(p);
}

int ue_port_kernel_input(const struct ue_port *p)
{
    int saved = errno, k = 0;
    if (ue_real_ioctl(p->fd, FIONREAD, &k) != 0 || k < 0)
        k = 0;
    errno = saved;
    return k;
}

static int gate_open(const struct ue_port *p, int gate)
{
    return gate == UE_GATE_NONE ? 1
           : gate == UE_GATE_RTS ? (p->mctl & TIOCM_RTS) != 0 : (p->mctl & TIOCM_DTR) != 0;
}

static int tx_reserve(struct ue_port *p, size_t more)
{
    if (p->tx_head > 0 && p->tx_len + more > p->tx_cap) {
        memmove(p->tx, p->tx + p->tx_head, (p->tx_len - p->tx_head) * sizeof *p->tx);
        p->tx_len -= p->tx_head;
        p->tx_head = 0;
    }
    if (p->tx_len + more <= p->tx_cap)
        return 1;
    size_t cap = p->tx_cap ? p->tx_cap : 256;
    while (cap < p->tx_len + more)
        cap *= 2;
    struct ue_txbyte *grown = realloc(p->tx, cap * sizeof *grown);
    if (!grown)
        return 0;
    p->tx = grown;
    p->tx_cap = cap;
    return 1;
}

/* loop_fifo: an 8250 hands looped-back bytes to the input queue in batches. The first 16
 * (its receive FIFO's trigger level) come when the tty work runs, here 1 ms after the
 * write has left the wire (a transmitting thread that polls for TEMT keeps the CPU until
 * then); the rest come 4 character times later, at the FIFO's time-out. Each batch raises
 * SIGIO when the descriptor has O_ASYNC, as the kernel does for input on such a port. */
#define UE_FIFO_BATCH 16

static void arm_sigio(struct ue_port *p, int which, int64_t at_ns)
{
    if (p->sigio_pid != getpid()) {
        struct sigevent ev;
        memset(&ev, 0, sizeof ev);
        ev.sigev_notify = SIGEV_SIGNAL;
        ev.sigev_signo = SIGIO;
        if (timer_create(CLOCK_MONOTONIC, &ev, &p->sigio[0]) != 0)
            return;
        if (timer_create(CLOCK_MONOTONIC, &ev, &p->sigio[1]) != 0) {
            timer_delete(p->sigio[0]);
            return;
        }
        p->sigio_pid = getpid();
    }
    struct itimerspec when = {{0, 0}, ue_timespec(at_ns)};
    timer_settime(p->sigio[which], TIMER_ABSTIME, &when, NULL);
}

static void batch_loopback(struct ue_port *p, size_t first, size_t n)
{
    int64_t last_end = p->tx[first + n - 1].end_ns;
    int64_t batch[2] = {last_end + 1000000, last_end + 1000000 + (int64_t)(4.0 * p->char_ns)};
    for (size_t i = 0; i < n; ++i)
        p->tx[first + i].due_ns = batch[i < UE_FIFO_BATCH ? 0 : 1];
    int saved = errno;
    int fl = fcntl(p->fd, F_GETFL);
    if (fl >= 0 && (fl & O_ASYNC)) {
        arm_sigio(p, 0, batch[0]);
        if (n > UE_FIFO_BATCH)
            arm_sigio(p, 1, batch[1]);
    }
    errno = saved;
}

ssize_t ue_port_write(struct ue_port *p, const void *buf, size_t n, int64_t now)
{
    ue_ctl_check();
    ue_port_catch_up(p, now);
    if (n == 0)
        return 0;
    struct ue_settings s;
    ue_ctl_settings(p->path, p->rpath, &s);
    if (s.write_mode == UE_WRITE_FAIL) {
        ue_trace(now, p->fd, "write", "n=0 req=%zu fail=1", n);
        errno = EIO;
        return -1;
    }
    size_t acc = (s.write_mode == UE_WRITE_SHORT && n > 1) ? n - 1 : n;
    if (!tx_reserve(p, acc)) {
        errno = ENOMEM;
        return -1;
    }
    int loop = (p->mctl & UE_TIOCM_LOOP) != 0;
    int fate = loop ? (s.loop_mode == UE_LOOP_SILENT ? UE_LOOP_LOST : UE_TO_LOOP)
               : !gate_open(p, s.gate) ? UE_LOST
               : s.echo                ? UE_TO_LINE_ECHO
                                       : UE_TO_LINE;
    size_t bad = (size_t)-1;
    if (loop && s.loop_mode == UE_LOOP_CORRUPT)
        bad = acc > 5 ? 5 : acc - 1;
    int64_t start = p->tx_end_ns > now ? p->tx_end_ns : now;
    const uint8_t *bytes = buf;
    for (size_t i = 0; i < acc; ++i) {
        struct ue_txbyte *b = &p->tx[p->tx_len++];
        b->start_ns = start + (int64_t)((double)i * p->char_ns + 0.5);
        b->end_ns = start + (int64_t)((double)(i + 1) * p->char_ns + 0.5);
        b->due_ns = b->end_ns;
        b->byte = i == bad ? (uint8_t)(bytes[i] ^ 0x20) : bytes[i];
        b->fate = (uint8_t)fate;
    }
    p->tx_end_ns = p->tx[p->tx_len - 1].end_ns;
    if (fate == UE_TO_LOOP && s.loop_fifo)
        batch_loopback(p, p->tx_len - acc, acc);
    char extra[64] = "";
    if (acc != n)
        snprintf(extra, sizeof extra, " req=%zu", n);
    ue_trace_data(now, p->fd, "write", bytes, acc, "n=%zu dest=%s%s%s%s start=%lld end=%lld", acc,
                  loop ? "loop" : fate == UE_LOST ? "lost" : "line", loop ? " mode=" : "",
                  loop ? ue_loop_names[s.loop_mode] : fate == UE_TO_LINE_ECHO ? " echo=1" : "",
                  extra, us(start), us(p->tx_end_ns));
    return (ssize_t)acc;
}

void ue_port_set_mctl(struct ue_port *p, unsigned mctl, int64_t now)
{
    static const struct {
        unsigned bit;
        const char *name;
    } lines[] = {{TIOCM_DTR, "dtr"}, {TIOCM_RTS, "rts"}, {UE_TIOCM_LOOP, "loop"}};
    ue_ctl_check();
    ue_port_catch_up(p, now);
    struct ue_settings s;
    ue_ctl_settings(p->path, p->rpath, &s);
    int was_open = gate_open(p, s.gate);
    unsigned old = p->mctl;
    p->mctl = mctl & UE_MCTL_MASK;
    int cut = 0;
    if (was_open && !gate_open(p, s.gate)) {
        /* Transmit enable dropped: what is still on its way to the line never gets there. */
        for (size_t i = p->tx_head; i < p->tx_len; ++i)
            if (p->tx[i].fate == UE_TO_LINE || p->tx[i].fate == UE_TO_LINE_ECHO) {
                p->tx[i].fate = UE_LOST;
                ++cut;
            }
    }
    unsigned gate_bit = s.gate == UE_GATE_RTS ? TIOCM_RTS : TIOCM_DTR;
    for (size_t i = 0; i < sizeof lines / sizeof lines[0]; ++i) {
        if (!((old ^ p->mctl) & lines[i].bit))
            continue;
        int v = (p->mctl & lines[i].bit) != 0;
        if (lines[i].bit == gate_bit && s.gate != UE_GATE_NONE && !v)
            ue_trace(now, p->fd, lines[i].name, "v=0 cut=%d", cut);
        else
            ue_trace(now, p->fd, lines[i].name, "v=%d", v);
    }
}

int ue_port_lsr(struct ue_port *p, int64_t now, unsigned *value)
{
    ue_port_pump(p, now);
    /* Every poll looks at the control file: a test that changes it sees the change at the
     * next poll, also in the middle of a wait. */
    ue_ctl_check();
    if (!p->lsr_open) {
        p->lsr_open = 1;
        p->lsr_first_ns = now;
        p->lsr_polls = 0;
    }
    struct ue_settings s;
    ue_ctl_settings(p->path, p->rpath, &s);
    ++p->lsr_polls;
    p->lsr_prev_ns = p->lsr_last_ns;
    p->lsr_last_ns = now;
    if (s.lsr_fail) {
        trace_lsr_wait(p, 1);
        p->lsr_open = 0;
        errno = EIO;
        return -1;
    }
    unsigned v = (!s.temt_stuck && now >= p->tx_end_ns) ? UE_LSR_TEMT : 0;
    /* Linux's serial core reports only TEMT here; error bits only in the injecting mode. */
    if (s.lsr_inject)
        v |= s.lsr & UE_LSR_ERRORS;
    int gen = ue_ctl_generation();
    if (s.lsr_inject && (s.lsr_once & UE_LSR_ERRORS) && s.lsr_once_used &&
        *s.lsr_once_used != gen) {
        v |= s.lsr_once & UE_LSR_ERRORS;
        *s.lsr_once_used = gen;
    }
    p->lsr_value = v;
    *value = v;
    if (v & (UE_LSR_TEMT | UE_LSR_ERRORS))
        ue_port_end_lsr_wait(p);
    return 0;
}

void ue_port_flush(struct ue_port *p, int queue, int64_t now)
{
    ue_ctl_check();
    ue_port_catch_up(p, now);
    long in = 0, out = 0;
    int saved = errno;
    if (queue == TCIFLUSH || queue == TCIOFLUSH) {
        in = ue_port_kernel_input(p) + (long)p->inj_len;
        p->inj_head = p->inj_len = 0;
        /* Only the input side goes to the kernel: an output flush on a pty slave would
         * discard what the line end has not read yet, bytes that have left the wire. */
        ue_real_tcflush(p->fd, TCIFLUSH);
    }
    if (queue == TCOFLUSH || queue == TCIOFLUSH) {
        /* The byte in the shift register finishes; the rest of the FIFO is discarded. */
        size_t keep = p->tx_head;
        while (keep < p->tx_len && p->tx[keep].start_ns < now)
            ++keep;  /* one byte, or more: loop_fifo bytes that wait in the receive FIFO */
        out = (long)(p->tx_len - keep);
        p->tx_len = keep;
        if (p->tx_head == p->tx_len) {
            p->tx_head = p->tx_len = 0;
            if (p->tx_end_ns > now)
                p->tx_end_ns = now;
        } else {
            p->tx_end_ns = p->tx[p->tx_len - 1].end_ns;
        }
    }
    errno = saved;
    const char *q = queue == TCIFLUSH ? "in" : queue == TCOFLUSH ? "out" : "both";
    ue_trace(now, p->fd, "flush", "q=%s in=%ld out=%ld", q, in, out);
}

int64_t ue_port_next_due(const struct ue_port *p)
{
    return p->tx_head < p->tx_len ? p->tx[p->tx_head].due_ns : -1;
}

static void sleep_until(int64_t t_ns)
{
    struct timespec ts = ue_timespec(t_ns);
    int saved = errno;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
    }
    errno = saved;
}

struct ue_port *ue_port_drain(int fd, int64_t limit_ns)
{
    for (;;) {
        struct ue_port *p = ue_port_of(fd);
        if (!p)
            return NULL;
        int64_t now = ue_now_ns();
        ue_port_pump(p, now);
        int64_t due = ue_port_next_due(p);
        if (due < 0)
            return p;
        if (now >= limit_ns) {
            ue_port_pump(p, INT64_MAX);
            return p;
        }
        ue_unlock();
        sleep_until(due < limit_ns ? due : limit_ns);
        ue_lock();
    }
}

void ue_ports_drain_all(void)
{
    int64_t limit = ue_now_ns() + 10 * (int64_t)1000000000;
    for (int i = 0; i < UE_MAX_PORTS; ++i)
        if (ue_ports[i].used)
            ue_port_drain(ue_ports[i].fd, limit);
}

long ue_port_pending(const struct ue_port *p) { return (long)(p->tx_len - p->tx_head); }

void ue_port_reset_after_fork(void)
{
    pthread_mutex_init(&ue_mutex, NULL);
}
