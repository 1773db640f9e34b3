// frame.cpp - frames in one heap record: requests built from address, payload and CRC-16,
// and the empty frame a reply's data bytes are collected in.
#include <cstdlib>
#include <cstring>

#include "seriallink.h"

RtuFrame *NewRtuFrame(uint16_t length)
{
    auto *frame = static_cast<RtuFrame *>(calloc(1, sizeof(RtuFrame)));
    if (!frame)
        return nullptr;
    frame->length = length;
    frame->data = static_cast<uint8_t *>(calloc(length, 1));
    if (!frame->data) {
        free(frame);
        return nullptr;
    }
    return frame;
}

RtuFrame *MakeRtuFrame(uint8_t address, const uint8_t *payload, uint8_t payloadLen)
{
    RtuFrame *frame = NewRtuFrame(uint16_t(payloadLen + 3));
    if (!frame)
        return nullptr;
    frame->data[0] = address;
    if (payloadLen > 0)
        memcpy(frame->data + 1, payload, payloadLen);
    AppendCrc16(frame->data, uint16_t(frame->length - 2));
    return frame;
}

RtuFrame *FreeRtuFrame(RtuFrame *frame)
{
    if (frame) {
        free(frame->data);
        free(frame);
    }
    return nullptr;
}
