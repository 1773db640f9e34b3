/* preload_scrub.h - for the preloaded test libraries of the 32-bit build: takes a library
 * out of LD_PRELOAD, so that the 64-bit programs it starts under qemu-i386 (qemu itself,
 * the shell) do not meet a 32-bit object there and have their loader complain. */
#ifndef QM_PRELOAD_SCRUB_H
#define QM_PRELOAD_SCRUB_H

#include <stdlib.h>
#include <string.h>

/* Removes every LD_PRELOAD item whose file name is name; unsets the variable when nothing
 * is left. Without memory the variable stays as it is. */
static inline void preload_scrub(const char *name)
{
    const char *list = getenv("LD_PRELOAD");
    if (!list)
        return;
    char *copy = strdup(list), *out = calloc(1, strlen(list) + 1);
    if (copy && out) {
        for (char *save = NULL, *item = strtok_r(copy, ": ", &save); item;
             item = strtok_r(NULL, ": ", &save)) {
            const char *base = strrchr(item, '/');
            if (!strcmp(base ? base + 1 : item, name))
                continue;
            if (*out)
                strcat(out, ":");
            strcat(out, item);
        }
        if (*out)
            setenv("LD_PRELOAD", out, 1);
        else
            unsetenv("LD_PRELOAD");
    }
    free(copy);
    free(out);
}

#endif
