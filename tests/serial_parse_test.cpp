// The receiver's state machine over bytes in memory (ReceiveRtuBytes, which ReceiveRtuFrame
// feeds from the line): which replies are kept, where the reception ends, and after which
// ones PostRxDelay is waited. Frames are written out whole, CRC low byte first.
#include <string_view>

#include "seriallink.h"
#include "testsupport.h"

using namespace std::literals;

TEST(ReceiveRtuBytes, KeepsTheDataOfGoodRepliesOnly)
{
    struct {
        const char *name;
        uint8_t address;
        std::string_view bytes;
        size_t used;            // bytes taken: up to the first complete reply, else all
        std::string_view kept;  // LastResponse's data bytes; none: no LastResponse, false
        bool complete;          // a complete reply, good or not: PostRxDelay is waited, once
    } rows[] = {
        {"read of one register", 1, "\x01\x03\x02\x12\x34\xB5\x33"sv, 7, "\x12\x34"sv, true},
        {"input registers", 1, "\x01\x04\x04\x12\x34\x56\x78\x80\xB0"sv, 9, "\x12\x34\x56\x78"sv,
         true},
        // skipped up to the address; the CRC starts there
        {"noise", 2, "\x00\xFF\x55\xAA\x0F\xF0\x02\x03\x02\x12\x34\xF1\x33"sv, 13, "\x12\x34"sv,
         true},
        // folded into the CRC; the byte after it is taken as the function code
        {"unknown function byte", 3, "\x03\x41\x03\x02\x12\x34\x90\xD4"sv, 8, "\x12\x34"sv, true},
        {"line-test responder", 0xF9, "\xF9\xFD\x02\x00\x01\xE9\xB8"sv, 7, "\x00\x01"sv, true},
        {"reply of another address", 1, "\x02\x03\x02\x12\x34\xF1\x33"sv, 7, ""sv, false},
        {"another address's reply first", 1,
         "\x02\x03\x02\x12\x34\xF1\x33\x01\x03\x02\x12\x34\xB5\x33"sv, 14, "\x12\x34"sv, true},
        {"exception", 4, "\x04\x83\x02\xD0\xF0"sv, 5, ""sv, true},
        {"bad CRC", 6, "\x06\x03\x02\x12\x34\x00\x0C"sv, 7, ""sv, true},
        {"bad CRC, then a good reply", 6,
         "\x06\x03\x02\x12\x34\x00\x0C\x06\x03\x02\x12\x34\x00\xF3"sv, 7, ""sv, true},
        {"fixed length", 1, "\x01\x06\x00\x01\x00\x03\x98\x0B"sv, 8, ""sv, true},
        {"byte count 0", 7, "\x07\x03\x00\xC0\xF1"sv, 5, ""sv, true},
        {"cut in its data", 5, "\x05\x03\x04\x12\x34"sv, 5, ""sv, false},  // 2 data bytes of 4
        {"cut in its CRC", 5, "\x05\x03\x02\x12\x34\x44"sv, 6, ""sv, false},
        {"nothing", 1, ""sv, 0, ""sv, false},
    };
    auto data = [](std::string_view s) { return reinterpret_cast<const uint8_t *>(s.data()); };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        // Each reception starts after a kept reply, which it frees (the sanitizer build
        // checks that nothing is left).
        PostRxDelay = 0;
        ASSERT_TRUE(ReceiveRtuBytes(data(rows[0].bytes), rows[0].bytes.size(), 1, nullptr));
        PostRxDelay = 200;
        size_t used = 99;
        double t0 = qmtest::NowSeconds();
        bool ok = ReceiveRtuBytes(data(r.bytes), r.bytes.size(), r.address, &used);
        double took = qmtest::NowSeconds() - t0;
        EXPECT_EQ(ok, !r.kept.empty());
        EXPECT_EQ(used, r.used);
        const RtuFrame *f = LastResponse;
        EXPECT_EQ(f ? std::string_view(reinterpret_cast<const char *>(f->data), f->length) : ""sv,
                  r.kept);
        EXPECT_EQ(took >= 0.2, r.complete) << took;
        EXPECT_LT(took, 0.4);
    }
    LastResponse = FreeRtuFrame(LastResponse);
    PostRxDelay = 0;
}
