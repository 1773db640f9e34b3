// Request frames and the Modbus CRC-16: known frames, the CRC-16/MODBUS check value,
// the append at the buffer's end and the ownership of the frame record.
#include <cstdlib>
#include <cstring>

#include "seriallink.h"
#include "testsupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FrameBytes(uint8_t address, const Bytes &payload)
{
    RtuFrame *f = MakeRtuFrame(address, payload.data(), uint8_t(payload.size()));
    EXPECT_NE(f, nullptr);
    if (!f)
        return {};
    Bytes out(f->data, f->data + f->length);
    EXPECT_EQ(f->length, payload.size() + 3);
    EXPECT_EQ(FreeRtuFrame(f), nullptr);
    return out;
}

uint16_t Crc(const Bytes &bytes)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes)
        Crc16Update(b, &crc);
    return crc;
}

} // namespace

TEST(Crc16, CheckValueAndKnownFrames)
{
    const char *check = "123456789";
    EXPECT_EQ(Crc(Bytes(check, check + 9)), 0x4B37);
    EXPECT_EQ(Crc({}), 0xFFFF);
    EXPECT_EQ(Crc({0x01}), 0x807E);

    EXPECT_EQ(FrameBytes(1, {0x03, 0x00, 0x00, 0x00, 0x01}),
              (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
    EXPECT_EQ(FrameBytes(0xF9, {0xFD, 0x08, 0x00, 0x00, 0x01}),
              (Bytes{0xF9, 0xFD, 0x08, 0x00, 0x00, 0x01, 0xBA, 0x06}));
    EXPECT_EQ(FrameBytes(1, {}), (Bytes{0x01, 0x7E, 0x80}));
}

TEST(Crc16, AppendStoresLowByteFirstAfterTheCountedBytes)
{
    uint8_t buf[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    AppendCrc16(buf, 0);
    EXPECT_EQ(buf[0], 0xFF);
    EXPECT_EQ(buf[1], 0xFF);
    EXPECT_EQ(buf[2], 0xAA);

    uint8_t reply[7] = {0x01, 0x03, 0x02, 0x12, 0x34, 0xEE, 0xEE};
    AppendCrc16(reply, 5);
    EXPECT_EQ(reply[5], 0xB5);
    EXPECT_EQ(reply[6], 0x33);
    // A frame followed by its own CRC (low byte first) folds to zero.
    EXPECT_EQ(Crc(Bytes(reply, reply + 7)), 0);
}

TEST(RtuFrame, LongestPayloadIsCopiedAndCovered)
{
    Bytes payload(255);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = uint8_t(i * 7 + 3);
    Bytes frame = FrameBytes(0x2A, payload);
    ASSERT_EQ(frame.size(), 258u);
    EXPECT_EQ(frame[0], 0x2A);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), frame.begin() + 1));
    EXPECT_EQ(Crc(frame), 0);
}

TEST(RtuFrame, PayloadIsOnlyRead)
{
    const uint8_t payload[5] = {0x03, 0x00, 0x00, 0x00, 0x01};
    uint8_t copy[5];
    memcpy(copy, payload, 5);
    RtuFrame *f = MakeRtuFrame(1, copy, 5);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(memcmp(copy, payload, 5), 0);
    EXPECT_NE(f->data, copy);
    FreeRtuFrame(f);
    RtuFrame *empty = MakeRtuFrame(7, nullptr, 0);  // no payload to read at all
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->length, 3);
    FreeRtuFrame(empty);
}

TEST(RtuFrame, FreeAcceptsNoneAndAMissingBuffer)
{
    EXPECT_EQ(FreeRtuFrame(nullptr), nullptr);
    auto *bare = static_cast<RtuFrame *>(calloc(1, sizeof(RtuFrame)));
    bare->length = 4;
    EXPECT_EQ(FreeRtuFrame(bare), nullptr);  // the sanitizer build checks nothing leaks
}
