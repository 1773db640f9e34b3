/* uartemu_ctl.c - the control file (UARTEMU_CTL) through which a test injects faults while
 * a program runs: "key=value" lines, global or in a "[device path]" section, re-read
 * whenever the file's identity, size or modification time change. Runs under ue_lock. */
#define _GNU_SOURCE
#include "uartemu_port.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

enum {
    K_ECHO = 1 << 0,
    K_LOOP = 1 << 1,
    K_LSR = 1 << 2,
    K_LSR_ONCE = 1 << 3,
    K_LSR_FAIL = 1 << 4,
    K_TEMT = 1 << 5,
    K_WRITE = 1 << 6,
    K_GATE = 1 << 7,
    K_LOOP_FIFO = 1 << 8,
    K_LSR_ERRORS = 1 << 9,
    K_OPEN_LINES = 1 << 10
};

struct ctl_values {
    unsigned set; /* K_* given in this part of the file */
    int echo, loop_mode, lsr_fail, temt_stuck, write_mode, gate, loop_fifo;
    int lsr_inject, open_low;
    unsigned lsr, lsr_once;
    int once_used; /* generation whose lsr_once was consumed */
};

#define CTL_SECTIONS 16
static struct ctl_values ctl_global;
static struct {
    char path[96];
    struct ctl_values v;
} ctl_sections[CTL_SECTIONS];
static int ctl_nsections;
static int ctl_default_echo;
static char ctl_path[512];
static int ctl_generation;
static struct {
    int exists;
    dev_t dev;
    ino_t ino;
    off_t size;
    struct timespec mtime;
} ctl_seen;

static const char *const loop_names[] = {"good", "corrupt", "silent"};
static const char *const write_names[] = {"ok", "short", "fail"};
static const char *const gate_names[] = {"dtr", "rts", "none"};
static const char *const lsr_error_names[] = {"linux", "inject"};
static const char *const open_line_names[] = {"high", "low"};

static void reset_values(struct ctl_values *v)
{
    memset(v, 0, sizeof *v);
    v->once_used = -1;
    v->loop_fifo = 1; /* the defaults are what Linux's 8250 driver does */
}

void ue_ctl_init(void)
{
    const char *echo = getenv("UARTEMU_ECHO");
    ctl_default_echo = echo && echo[0] == '1';
    const char *path = getenv("UARTEMU_CTL");
    snprintf(ctl_path, sizeof ctl_path, "%s", path ? path : "");
    reset_values(&ctl_global);
    ctl_global.echo = ctl_default_echo;
}

int ue_ctl_generation(void) { return ctl_generation; }

static int name_index(const char *value, const char *const *names, int count)
{
    for (int i = 0; i < count; ++i)
        if (!strcasecmp(value, names[i]))
            return i;
    return -1;
}

static int parse_flag(const char *value)
{
    return !strcmp(value, "1") || !strcasecmp(value, "on") || !strcasecmp(value, "yes") ||
           !strcasecmp(value, "true");
}

static void parse_line(struct ctl_values *v, char *key, char *value)
{
    int i;
    if (!strcmp(key, "echo")) {
        v->echo = parse_flag(value);
        v->set |= K_ECHO;
    } else if (!strcmp(key, "loop") && (i = name_index(value, loop_names, 3)) >= 0) {
        v->loop_mode = i;
        v->set |= K_LOOP;
    } else if (!strcmp(key, "lsr")) {
        v->lsr = (unsigned)strtoul(value, NULL, 0);
        v->set |= K_LSR;
    } else if (!strcmp(key, "lsr_once")) {
        v->lsr_once = (unsigned)strtoul(value, NULL, 0);
        v->set |= K_LSR_ONCE;
    } else if (!strcmp(key, "lsr_fail")) {
        v->lsr_fail = parse_flag(value);
        v->set |= K_LSR_FAIL;
    } else if (!strcmp(key, "temt")) {
        v->temt_stuck = !strcasecmp(value, "stuck");
        v->set |= K_TEMT;
    } else if (!strcmp(key, "write") && (i = name_index(value, write_names, 3)) >= 0) {
        v->write_mode = i;
        v->set |= K_WRITE;
    } else if (!strcmp(key, "gate") && (i = name_index(value, gate_names, 3)) >= 0) {
        v->gate = i;
        v->set |= K_GATE;
    } else if (!strcmp(key, "loop_fifo")) {
        v->loop_fifo = parse_flag(value);
        v->set |= K_LOOP_FIFO;
    } else if (!strcmp(key, "lsr_errors") && (i = name_index(value, lsr_error_names, 2)) >= 0) {
        v->lsr_inject = i;
        v->set |= K_LSR_ERRORS;
    } else if (!strcmp(key, "open_lines") && (i = name_index(value, open_line_names, 2)) >= 0) {
        v->open_low = i;
        v->set |= K_OPEN_LINES;
    }
}

static char *trim(char *s)
{
    while (*s == ' ' || *s == '\t')
        ++s;
    size_t n = strlen(s);
    while (n && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r' || s[n - 1] == '\n'))
        s[--n] = 0;
    return s;
}

static void parse(char *text)
{
    reset_values(&ctl_global);
    ctl_global.echo = ctl_default_echo;
    ctl_nsections = 0;
    struct ctl_values *cur = &ctl_global;
    for (char *save = NULL, *line = strtok_r(text, "\n", &save); line;
         line = strtok_r(NULL, "\n", &save)) {
        char *hash = strchr(line, '#');
        if (hash)
            *hash = 0;
        line = trim(line);
        if (!*line)
            continue;
        size_t n = strlen(line);
        if (line[0] == '[' && line[n - 1] == ']') {
            line[n - 1] = 0;
            if (ctl_nsections == CTL_SECTIONS) {
                cur = NULL; /* too many sections: the rest is ignored */
                continue;
            }
            cur = &ctl_sections[ctl_nsections].v;
            reset_values(cur);
            snprintf(ctl_sections[ctl_nsections].path, sizeof ctl_sections[0].path, "%s",
                     trim(line + 1));
            ++ctl_nsections;
            continue;
        }
        char *eq = strchr(line, '=');
        if (!eq || !cur)
            continue;
        *eq = 0;
        parse_line(cur, trim(line), trim(eq + 1));
    }
}

static void trace_settings(void)
{
    const struct ctl_values *g = &ctl_global;
    ue_trace(ue_now_ns(), -1, "ctl",
             "gen=%d exists=%d echo=%d loop=%s lsr=0x%02x lsr_once=0x%02x lsr_fail=%d temt=%s "
             "write=%s gate=%s loop_fifo=%d lsr_errors=%s open_lines=%s sections=%d",
             ctl_generation, ctl_seen.exists, g->echo, loop_names[g->loop_mode], g->lsr,
             g->lsr_once, g->lsr_fail, g->temt_stuck ? "stuck" : "normal",
             write_names[g->write_mode], gate_names[g->gate], g->loop_fifo,
             lsr_error_names[g->lsr_inject], open_line_names[g->open_low], ctl_nsections);
}

void ue_ctl_check(void)
{
    if (!ctl_path[0])
        return;
    int saved = errno;
    struct stat st;
    int exists = stat(ctl_path, &st) == 0;
    if (exists == ctl_seen.exists &&
        (!exists || (st.st_dev == ctl_seen.dev && st.st_ino == ctl_seen.ino &&
                     st.st_size == ctl_seen.size && st.st_mtim.tv_sec == ctl_seen.mtime.tv_sec &&
                     st.st_mtim.tv_nsec == ctl_seen.mtime.tv_nsec))) {
        errno = saved;
        return;
    }
    ctl_seen.exists = exists;
    char *text = NULL;
    if (exists) {
        ctl_seen.dev = st.st_dev;
        ctl_seen.ino = st.st_ino;
        ctl_seen.size = st.st_size;
        ctl_seen.mtime = st.st_mtim;
        int fd = ue_real_open(ctl_path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            size_t cap = 4096, len = 0;
            text = malloc(cap + 1);
            while (text) {
                ssize_t n = ue_real_read(fd, text + len, cap - len);
                if (n <= 0)
                    break;
                len += (size_t)n;
                if (len == cap) {
                    char *grown = cap < (1u << 20) ? realloc(text, cap * 2 + 1) : NULL;
                    if (!grown)
                        break;
                    text = grown;
                    cap *= 2;
                }
            }
            if (text)
                text[len] = 0;
            ue_real_close(fd);
        }
    }
    char empty[1] = "";
    parse(text ? text : empty);
    free(text);
    ++ctl_generation;
    trace_settings();
    errno = saved;
}

static void overlay(struct ue_settings *out, struct ctl_values *v)
{
    if (v->set & K_ECHO)
        out->echo = v->echo;
    if (v->set & K_LOOP)
        out->loop_mode = v->loop_mode;
    if (v->set & K_LSR)
        out->lsr = v->lsr;
    if (v->set & K_LSR_ONCE) {
        out->lsr_once = v->lsr_once;
        out->lsr_once_used = &v->once_used;
    }
    if (v->set & K_LSR_FAIL)
        out->lsr_fail = v->lsr_fail;
    if (v->set & K_TEMT)
        out->temt_stuck = v->temt_stuck;
    if (v->set & K_WRITE)
        out->write_mode = v->write_mode;
    if (v->set & K_GATE)
        out->gate = v->gate;
    if (v->set & K_LOOP_FIFO)
        out->loop_fifo = v->loop_fifo;
    if (v->set & K_LSR_ERRORS)
        out->lsr_inject = v->lsr_inject;
    if (v->set & K_OPEN_LINES)
        out->open_low = v->open_low;
}

void ue_ctl_settings(const struct ue_port *p, struct ue_settings *out)
{
    memset(out, 0, sizeof *out);
    out->echo = ctl_default_echo;
    out->loop_fifo = 1;
    overlay(out, &ctl_global);
    for (int i = 0; i < ctl_nsections; ++i)
        if (!strcmp(ctl_sections[i].path, p->path) || !strcmp(ctl_sections[i].path, p->rpath))
            overlay(out, &ctl_sections[i].v);
}
