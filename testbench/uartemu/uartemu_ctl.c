/* uartemu_ctl.c - the control file (UARTEMU_CTL) through which a test injects faults while
 * a program runs: "key=value" lines, global or in a "[device path]" section, re-read
 * whenever the file's identity, size or modification time change. Runs under ue_lock. */
#define _GNU_SOURCE
#include "uartemu_ctl.h"
#include "uartemu_traceout.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

/* One part of the file (the global part or a section): the keys it gives (bit i: key i of
 * ctl_keys) and their values; the others stay at the defaults. */
struct ctl_values {
    unsigned set;
    struct ue_settings s;
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
    struct stat st; /* when it exists: identity, size and mtime are compared */
} ctl_seen;

const char *const ue_loop_names[] = {"good", "corrupt", "silent", NULL};
static const char *const write_names[] = {"ok", "short", "fail", NULL};
static const char *const gate_names[] = {"dtr", "rts", "none", NULL};
static const char *const lsr_error_names[] = {"linux", "inject", NULL};
static const char *const open_line_names[] = {"high", "low", NULL};

/* How a value reads: a flag (1, on, yes, true), a number (0x.. or decimal), "stuck" or not,
 * or one of a list of names (its index; any other value leaves the key unset). */
enum value_kind { FLAG, NUMBER, STUCK, NAMES };

#define FIELD(name) offsetof(struct ue_settings, name)
static const struct ctl_key {
    const char *key;
    size_t field; /* an int or unsigned of struct ue_settings */
    enum value_kind kind;
    const char *const *names;
} ctl_keys[] = {
    {"echo", FIELD(echo), FLAG, NULL},
    {"loop", FIELD(loop_mode), NAMES, ue_loop_names},
    {"lsr", FIELD(lsr), NUMBER, NULL},
    {"lsr_once", FIELD(lsr_once), NUMBER, NULL},
    {"lsr_fail", FIELD(lsr_fail), FLAG, NULL},
    {"temt", FIELD(temt_stuck), STUCK, NULL},
    {"write", FIELD(write_mode), NAMES, write_names},
    {"gate", FIELD(gate), NAMES, gate_names},
    {"loop_fifo", FIELD(loop_fifo), FLAG, NULL},
    {"lsr_errors", FIELD(lsr_inject), NAMES, lsr_error_names},
    {"open_lines", FIELD(open_low), NAMES, open_line_names},
};
#define CTL_KEYS (sizeof ctl_keys / sizeof ctl_keys[0])

static unsigned *field_of(struct ue_settings *s, size_t field)
{
    return (unsigned *)((char *)s + field);
}

static void reset_values(struct ctl_values *v)
{
    memset(v, 0, sizeof *v);
    v->once_used = -1;
    v->s.echo = ctl_default_echo;
    v->s.loop_fifo = 1; /* the defaults are what Linux's 8250 driver does */
}

void ue_ctl_init(void)
{
    const char *echo = getenv("UARTEMU_ECHO");
    ctl_default_echo = echo && echo[0] == '1';
    const char *path = getenv("UARTEMU_CTL");
    snprintf(ctl_path, sizeof ctl_path, "%s", path ? path : "");
    reset_values(&ctl_global);
}

int ue_ctl_generation(void) { return ctl_generation; }

static int name_index(const char *value, const char *const *names)
{
    for (int i = 0; names[i]; ++i)
        if (!strcasecmp(value, names[i]))
            return i;
    return -1;
}

static int parse_flag(const char *value)
{
    return !strcmp(value, "1") || !strcasecmp(value, "on") || !strcasecmp(value, "yes") ||
           !strcasecmp(value, "true");
}

static void parse_line(struct ctl_values *v, const char *key, const char *value)
{
    for (unsigned i = 0; i < CTL_KEYS; ++i) {
        const struct ctl_key *k = &ctl_keys[i];
        if (strcmp(key, k->key))
            continue;
        int named = k->kind == NAMES ? name_index(value, k->names) : 0;
        if (named < 0)
            return;
        *field_of(&v->s, k->field) = k->kind == FLAG     ? (unsigned)parse_flag(value)
                                     : k->kind == NUMBER ? (unsigned)strtoul(value, NULL, 0)
                                     : k->kind == STUCK  ? (unsigned)!strcasecmp(value, "stuck")
                                                         : (unsigned)named;
        v->set |= 1u << i;
        if (k->field == FIELD(lsr_once))
            v->s.lsr_once_used = &v->once_used;
        return;
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
    const struct ue_settings *g = &ctl_global.s;
    ue_trace(ue_now_ns(), -1, "ctl",
             "gen=%d exists=%d echo=%d loop=%s lsr=0x%02x lsr_once=0x%02x lsr_fail=%d temt=%s "
             "write=%s gate=%s loop_fifo=%d lsr_errors=%s open_lines=%s sections=%d",
             ctl_generation, ctl_seen.exists, g->echo, ue_loop_names[g->loop_mode], g->lsr,
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
    const struct stat *seen = &ctl_seen.st;
    if (exists == ctl_seen.exists &&
        (!exists || (st.st_dev == seen->st_dev && st.st_ino == seen->st_ino &&
                     st.st_size == seen->st_size && st.st_mtim.tv_sec == seen->st_mtim.tv_sec &&
                     st.st_mtim.tv_nsec == seen->st_mtim.tv_nsec))) {
        errno = saved;
        return;
    }
    ctl_seen.exists = exists;
    char *text = NULL;
    if (exists) {
        ctl_seen.st = st;
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
    for (unsigned i = 0; i < CTL_KEYS; ++i)
        if (v->set & 1u << i)
            *field_of(out, ctl_keys[i].field) = *field_of(&v->s, ctl_keys[i].field);
    if (v->s.lsr_once_used)
        out->lsr_once_used = v->s.lsr_once_used;
}

void ue_ctl_settings(const char *path, const char *rpath, struct ue_settings *out)
{
    *out = ctl_global.s;
    for (int i = 0; i < ctl_nsections; ++i)
        if (!strcmp(ctl_sections[i].path, path) || !strcmp(ctl_sections[i].path, rpath))
            overlay(out, &ctl_sections[i].v);
}
