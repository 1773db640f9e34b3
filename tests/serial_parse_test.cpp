// The receiver's state machine over bytes in memory (ReceiveRtuBytes, which ReceiveRtuFrame
// feeds from the line): which replies are kept, where the reception ends, and after which
// ones PostRxDelay is waited. Frames are written out whole, CRC low byte first.
#include <cstdint>
#include <vector>

#include "seriallink.h"
#include "testsupport.h"

using Bytes = std::vector<uint8_t>;

TEST(ReceiveRtuBytes, KeepsTheDataOfGoodRepliesOnly)
{
    struct {
        const char *name;
        uint8_t address;
        Bytes bytes;
        size_t used;     // bytes taken: up to the first complete reply, else all
        Bytes kept;      // LastResponse's data bytes; none: no LastResponse, result false
        bool complete;   // a complete reply, good or not: PostRxDelay is waited, once
    } rows[] = {
        {"read of one register", 1, {0x01, 0x03, 0x02, 0x12, 0x34, 0xB5, 0x33},
         7, {0x12, 0x34}, true},
        {"read of two input registers", 1, {0x01, 0x04, 0x04, 0x12, 0x34, 0x56, 0x78, 0x80, 0xB0},
         9, {0x12, 0x34, 0x56, 0x78}, true},
        // skipped up to the address; the CRC starts there
        {"noise first", 2, {0x00, 0xFF, 0x55, 0xAA, 0x0F, 0xF0,
                            0x02, 0x03, 0x02, 0x12, 0x34, 0xF1, 0x33},
         13, {0x12, 0x34}, true},
        // folded into the CRC; the byte after it is taken as the function code
        {"unknown function byte", 3, {0x03, 0x41, 0x03, 0x02, 0x12, 0x34, 0x90, 0xD4},
         8, {0x12, 0x34}, true},
        {"line-test responder", 0xF9, {0xF9, 0xFD, 0x02, 0x00, 0x01, 0xE9, 0xB8},
         7, {0x00, 0x01}, true},
        {"reply of another address", 1, {0x02, 0x03, 0x02, 0x12, 0x34, 0xF1, 0x33},
         7, {}, false},
        {"another address's reply first", 1, {0x02, 0x03, 0x02, 0x12, 0x34, 0xF1, 0x33,
                                              0x01, 0x03, 0x02, 0x12, 0x34, 0xB5, 0x33},
         14, {0x12, 0x34}, true},
        {"exception", 4, {0x04, 0x83, 0x02, 0xD0, 0xF0},
         5, {}, true},
        {"bad CRC", 6, {0x06, 0x03, 0x02, 0x12, 0x34, 0x00, 0x0C},
         7, {}, true},
        {"bad CRC, then a good reply", 6, {0x06, 0x03, 0x02, 0x12, 0x34, 0x00, 0x0C,
                                           0x06, 0x03, 0x02, 0x12, 0x34, 0x00, 0xF3},
         7, {}, true},
        {"fixed length", 1, {0x01, 0x06, 0x00, 0x01, 0x00, 0x03, 0x98, 0x0B},
         8, {}, true},
        {"byte count 0", 7, {0x07, 0x03, 0x00, 0xC0, 0xF1},
         5, {}, true},
        {"cut in its data", 5, {0x05, 0x03, 0x04, 0x12, 0x34},  // 2 data bytes of 4
         5, {}, false},
        {"cut in its CRC", 5, {0x05, 0x03, 0x02, 0x12, 0x34, 0x44},
         6, {}, false},
        {"nothing", 1, {},
         0, {}, false},
    };
    const Bytes good = rows[0].bytes;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        // Each reception starts after a kept reply, which it frees (the sanitizer build
        // checks that nothing is left).
        PostRxDelay = 0;
        ASSERT_TRUE(ReceiveRtuBytes(good.data(), good.size(), 1, nullptr));
        PostRxDelay = 200;
        size_t used = 99;
        double t0 = qmtest::NowSeconds();
        bool ok = ReceiveRtuBytes(r.bytes.data(), r.bytes.size(), r.address, &used);
        double took = qmtest::NowSeconds() - t0;
        EXPECT_EQ(ok, !r.kept.empty());
        EXPECT_EQ(used, r.used);
        const RtuFrame *f = LastResponse;
        EXPECT_EQ(f ? Bytes(f->data, f->data + f->length) : Bytes{}, r.kept);
        EXPECT_EQ(took >= 0.2, r.complete) << took;
        EXPECT_LT(took, 0.4);
    }
    LastResponse = FreeRtuFrame(LastResponse);
    PostRxDelay = 0;
}
