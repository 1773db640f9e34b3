/* header_check.c - a plain C99 program against the public header and libqmveskar.so. */
#include <stdio.h>
#include <string.h>

#include "qmveskar.h"

int main(void)
{
    StrArray *a = Explode("1,2,3", ',');
    MessageRecord r;
    AcqSpeedSetup setup;
    TempFileInfo info;
    memset(&r, 0, sizeof r);
    memset(&setup, 0, sizeof setup);
    memset(&info, 0, sizeof info);
    if (StrArrayGetCount(a) != 3 || strcmp(StrArrayGetAtElement(a, 2), "3") != 0)
        return 1;
    ArrayFree(a);
    if (strcmp(strupr("abc"), "ABC") != 0 || mTmpOut[0] == 0)
        return 2;
    printf("header ok (%u-byte MessageRecord in memory)\n", (unsigned)sizeof r);
    return 0;
}
