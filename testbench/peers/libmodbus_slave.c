/* libmodbus_slave.c - qmmodbusslave: a libmodbus Modbus RTU slave that stands in for a field
 * device on a bench line (the relay port of qmfieldsim -p). Holding registers default to
 * those of the reference device: 0 = 0x0123, 1..2 = 0x4142 0x1EE3, 6 = 0x0107.
 *
 *   qmmodbusslave PORT ADDRESS [BAUD] [-r START=V,V,...]... [-R READYFILE] [-v]
 *
 * One libmodbus RTU context answers one slave id. After a request for another id (or any
 * frame it rejects) modbus_receive may have read only part of that frame (it sizes frames by
 * function code, and knows nothing of 0xFD), and the rest would be taken for the start of
 * the next frame: the slave then drains the line until it is quiet. After a request for
 * another id libmodbus also takes the next frame for that id's reply and drops it; on a
 * line whose other ids are absent that is the master's next request. So, once drained, the
 * slave lets that "reply" read time out at once (1 ms response time-out). */
#include <errno.h>
#include <modbus/modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

#define REGISTER_COUNT 256

/* Reads and drops bytes until the line has been quiet for 20 ms (less than a master's
 * shortest wait between an unanswered request and the next one). */
static void Resync(modbus_t *ctx)
{
    int fd = modbus_get_socket(ctx);
    unsigned char junk[256];
    for (;;) {
        fd_set set;
        struct timeval tv = {0, 20000};
        FD_ZERO(&set);
        FD_SET(fd, &set);
        if (select(fd + 1, &set, NULL, NULL, &tv) <= 0 || read(fd, junk, sizeof junk) <= 0)
            return;
    }
}

static int SetRegisters(uint16_t *regs, const char *text)
{
    char *end = NULL;
    long at = strtol(text, &end, 0);
    if (*end != '=' || at < 0)
        return 0;
    for (const char *p = end + 1; *p; p = end + (*end == ',')) {
        long v = strtol(p, &end, 0);
        if (end == p || at >= REGISTER_COUNT)
            return 0;
        regs[at++] = (uint16_t)v;
    }
    return 1;
}

int main(int argc, char **argv)
{
    const char *ready = NULL;
    int debug = 0, custom = 0;
    uint16_t regs[REGISTER_COUNT] = {0};
    char *regArgs[32];
    int nregArgs = 0;
    for (int opt; (opt = getopt(argc, argv, "r:R:v")) != -1;) {
        if (opt == 'r' && nregArgs < 32)
            regArgs[nregArgs++] = optarg;
        else if (opt == 'R')
            ready = optarg;
        else if (opt == 'v')
            debug = 1;
        else
            goto usage;
    }
    if (argc - optind < 2 || argc - optind > 3)
        goto usage;
    const char *port = argv[optind];
    int address = atoi(argv[optind + 1]);
    int baud = argc - optind == 3 ? atoi(argv[optind + 2]) : 9600;
    for (int i = 0; i < nregArgs; ++i, custom = 1)
        if (!SetRegisters(regs, regArgs[i]))
            goto usage;
    if (!custom) {
        regs[0] = 0x0123;
        regs[1] = 0x4142;
        regs[2] = 0x1EE3;
        regs[6] = 0x0107;
    }

    modbus_t *ctx = modbus_new_rtu(port, baud, 'N', 8, 1);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, REGISTER_COUNT, REGISTER_COUNT);
    if (!ctx || !map || modbus_set_slave(ctx, address) == -1) {
        fprintf(stderr, "qmmodbusslave: %s\n", modbus_strerror(errno));
        return 1;
    }
    memcpy(map->tab_registers, regs, sizeof regs);
    memcpy(map->tab_input_registers, regs, sizeof regs);
    modbus_set_debug(ctx, debug);
    modbus_set_response_timeout(ctx, 0, 1000);
    if (modbus_connect(ctx) == -1) {
        fprintf(stderr, "qmmodbusslave: %s: %s\n", port, modbus_strerror(errno));
        return 1;
    }
    if (ready) {
        FILE *f = fopen(ready, "w");
        if (f) {
            fprintf(f, "%d\n", (int)getpid());
            fclose(f);
        }
    }
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        int rc = modbus_receive(ctx, query);
        if (rc > 0) {
            modbus_reply(ctx, query, rc, map);
        } else {
            Resync(ctx); /* another slave id, a bad frame or a time-out */
            if (rc == 0)
                modbus_receive(ctx, query); /* the other id's reply: times out, resets */
        }
    }
usage:
    fprintf(stderr, "usage: qmmodbusslave PORT ADDRESS [BAUD] [-r START=V,V,...] "
                    "[-R READYFILE] [-v]\n");
    return 2;
}
