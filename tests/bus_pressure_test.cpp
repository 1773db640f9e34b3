// Message-bus client under pressure: every condition of buspressure (slow, stalled and
// vanishing servers, a receive window smaller than one message, messages cut at any
// byte), each message checked byte for byte at the other end.
#include "buspressure.h"
#include "testsupport.h"

// The 1 ms timer is left out under qemu-i386: the emulator runs a thread that handles a
// signal on the descriptor of the thread created last (its TLS, malloc cache and errno
// included), so a signal taken by a poster would corrupt the emulation, not the client.
TEST(BusPressure, EveryMessageArrivesWholeOrNotAtAll)
{
    buspressure::Scale scale;
    scale.timer = qmtest::Emulator().empty();
    if (!scale.timer)
        printf("the 1 ms timer is off under the emulator\n");
    printf("%s\n", buspressure::Heading().c_str());
    for (const buspressure::Figures &f : buspressure::RunAll(scale)) {
        printf("%s\n", buspressure::Row(f).c_str());
        EXPECT_EQ(f.corrupted, 0) << f.condition;
        EXPECT_EQ(f.lost, 0) << f.condition;
        EXPECT_EQ(f.problem, "") << f.condition;
    }
}
