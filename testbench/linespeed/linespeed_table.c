/* linespeed_table.c - the test bench's table of line speeds (see linespeed_table.h). */
#include "linespeed_table.h"

#include <stddef.h>

struct tb_speed {
    unsigned bits;
    speed_t code;
};

static const struct tb_speed speeds[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
    {600, B600}, {1800, B1800},
#define QM_LINE_SPEED(bps, code, line_table) {bps, code},
#include "linespeeds.def"
#undef QM_LINE_SPEED
    {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

unsigned tb_speed_bits(speed_t code)
{
    for (size_t i = 0; i < sizeof speeds / sizeof speeds[0]; i++)
        if (speeds[i].code == code)
            return speeds[i].bits;
    return 9600;
}

speed_t tb_speed_code(unsigned bits)
{
    for (size_t i = 0; i < sizeof speeds / sizeof speeds[0]; i++)
        if (speeds[i].bits == bits)
            return speeds[i].code;
    return B9600;
}
