/* uartemu_port.h - the port model of libuartemu.so (above uartemu_ctl.h): the emulated
 * port record and what can be done to it, with its wire times, for the interposed calls on
 * top; and the process-wide lock under which all of it runs. */
#ifndef UARTEMU_PORT_H
#define UARTEMU_PORT_H

#include "uartemu_real.h"

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

/* Modem-control bits kept per port. TIOCM_LOOP is not in the C library's headers. */
#define UE_TIOCM_LOOP 0x8000
#define UE_MCTL_MASK (TIOCM_DTR | TIOCM_RTS | 0x2000 /* OUT1 */ | 0x4000 /* OUT2 */ | UE_TIOCM_LOOP)

/* Line-status bits. */
#define UE_LSR_TEMT 0x01
#define UE_LSR_ERRORS 0x0E /* overrun, parity, framing */

#define UE_MAX_FDS 4096 /* descriptors at or above this are never emulated */
#define UE_MAX_PORTS 64
#define UE_FRAMING (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB) /* the mode's framing bits */
#define UE_DRAIN_NS (30 * (int64_t)1000000000) /* longest wait for the transmitter to empty */

/* What becomes of a byte once its last stop bit has left the wire. */
enum ue_fate {
    UE_TO_LINE,      /* written to the pty master (the field line) */
    UE_TO_LINE_ECHO, /* the same, and a copy into the port's own input */
    UE_LOST,         /* transceiver disabled: nowhere */
    UE_TO_LOOP,      /* internal loopback: into the port's own input */
    UE_LOOP_LOST     /* internal loopback that returns nothing */
};

struct ue_txbyte {
    int64_t start_ns; /* first start bit */
    int64_t end_ns;   /* last stop bit has left */
    int64_t due_ns;   /* reaches the line or the port's input (end_ns, or later: loop_fifo) */
    uint8_t byte;
    uint8_t fate;
};

struct ue_port {
    int used;
    int fd;
    char path[96];   /* as the program opened it */
    char rpath[96];  /* as /proc/self/fd shows it */
    unsigned mctl;
    /* Requested line mode. */
    tcflag_t cflag;  /* framing bits as requested (CSIZE, PARENB, PARODD, CMSPAR, CSTOPB) */
    unsigned bps;
    int frame_bits;  /* start + data + parity + stop */
    double char_ns;
    /* Transmitter: bytes not yet out of the shift register, in wire order. */
    struct ue_txbyte *tx;
    size_t tx_head, tx_len, tx_cap;
    int64_t tx_end_ns; /* the moment the last byte written leaves the wire */
    /* Injected input (echo, loopback), ready to read, oldest first. */
    uint8_t *inj;
    size_t inj_head, inj_len, inj_cap;
    /* The LSR wait in progress. */
    int lsr_open;
    int64_t lsr_first_ns, lsr_last_ns, lsr_prev_ns;
    long lsr_polls;
    unsigned lsr_value;
    /* SIGIO at the loopback batches (loop_fifo): two timers, made by process sigio_pid. */
    pid_t sigio_pid;
    timer_t sigio[2];
};

/* The lock; neither call changes errno. Every other call here is made with it held. */
UE_HIDDEN void ue_lock(void);
UE_HIDDEN void ue_unlock(void);
UE_HIDDEN int ue_is_port_fd(int fd); /* lock-free fast check */
UE_HIDDEN struct ue_port *ue_port_of(int fd);
/* The port of fd, attaching it when fd is a pty slave (path may be NULL: looked up). */
UE_HIDDEN struct ue_port *ue_port_attach(int fd, const char *path, int how_open, int flags);
UE_HIDDEN int ue_is_pty_slave(int fd);
UE_HIDDEN void ue_port_drop(struct ue_port *p);
UE_HIDDEN void ue_port_set_mode(struct ue_port *p, tcflag_t cflag);
UE_HIDDEN void ue_port_pump(struct ue_port *p, int64_t now); /* delivers the bytes due */
UE_HIDDEN void ue_port_end_lsr_wait(struct ue_port *p);
/* Both: the program does something else with the port at now. */
UE_HIDDEN void ue_port_catch_up(struct ue_port *p, int64_t now);
/* Bytes in the kernel's input of the port (0 when it cannot say); errno is kept. */
UE_HIDDEN int ue_port_kernel_input(const struct ue_port *p);
UE_HIDDEN ssize_t ue_port_write(struct ue_port *p, const void *buf, size_t n, int64_t now);
UE_HIDDEN void ue_port_set_mctl(struct ue_port *p, unsigned mctl, int64_t now);
UE_HIDDEN int ue_port_lsr(struct ue_port *p, int64_t now, unsigned *value);
/* TCIFLUSH / TCOFLUSH / TCIOFLUSH on the emulated queues and the kernel's input. */
UE_HIDDEN void ue_port_flush(struct ue_port *p, int queue, int64_t now);
/* Next moment a byte of the transmitter completes, or -1 when it is empty. */
UE_HIDDEN int64_t ue_port_next_due(const struct ue_port *p);
UE_HIDDEN size_t ue_port_take_injected(struct ue_port *p, uint8_t *buf, size_t n);
/* Drains the transmitter, releasing the lock while it sleeps; p may be gone afterwards
 * when the descriptor was closed meanwhile (returns the port again, or NULL). */
UE_HIDDEN struct ue_port *ue_port_drain(int fd, int64_t limit_ns);
UE_HIDDEN void ue_ports_drain_all(void);
UE_HIDDEN void ue_port_trace_mode(struct ue_port *p, int64_t now, int rc);
UE_HIDDEN long ue_port_pending(const struct ue_port *p); /* bytes not yet out */
UE_HIDDEN void ue_port_reset_after_fork(void);

#endif
