/* uartemu_ctl.h - the control file of libuartemu.so (above uartemu_traceout.h): the
 * settings in force for a port, as a test has written them into UARTEMU_CTL. Called with
 * ue_lock held; errno is kept. */
#ifndef UARTEMU_CTL_H
#define UARTEMU_CTL_H

#include "uartemu_real.h"

enum ue_loop_mode { UE_LOOP_GOOD, UE_LOOP_CORRUPT, UE_LOOP_SILENT };
enum ue_write_mode { UE_WRITE_OK, UE_WRITE_SHORT, UE_WRITE_FAIL };
enum ue_gate { UE_GATE_DTR, UE_GATE_RTS, UE_GATE_NONE };

/* Settings in force for one port (control file, global part overlaid by its section). */
struct ue_settings {
    int echo;
    int loop_mode;
    unsigned lsr;      /* sticky error bits */
    unsigned lsr_once; /* error bits for the next LSR read after a change of the file */
    int *lsr_once_used; /* generation at which lsr_once was consumed (owned by the ctl) */
    int lsr_fail;
    int temt_stuck;
    int write_mode;
    int gate;
    int loop_fifo; /* loopback bytes reach the input in an 8250's two batches */
    int lsr_inject; /* the lsr and lsr_once error bits are reported (no Linux driver does) */
    int open_low;   /* DTR and RTS start low instead of raised at open */
};

UE_HIDDEN extern const char *const ue_loop_names[]; /* by enum ue_loop_mode */

UE_HIDDEN void ue_ctl_init(void);
/* Re-reads the control file when it changed. */
UE_HIDDEN void ue_ctl_check(void);
/* The settings of the port opened as path, which /proc/self/fd shows as rpath. */
UE_HIDDEN void ue_ctl_settings(const char *path, const char *rpath, struct ue_settings *out);
UE_HIDDEN int ue_ctl_generation(void); /* counts the readings of the file */

#endif
