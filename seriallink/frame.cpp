// frame.cpp - request frames: address, payload and CRC-16 in one heap record.
#include <cstdlib>
#include <cstring>

#include "seriallink.h"

RtuFrame *MakeRtuFrame(uint8_t address, const uint8_t *payload, uint8_t payloadLen)
{
    auto *frame = static_cast<RtuFrame *>(calloc(1, sizeof(RtuFrame)));
    if (!frame)
        return nullptr;
    frame->length = uint16_t(payloadLen + 3);
    frame->data = static_cast<uint8_t *>(calloc(frame->length, 1));
    if (!frame->data) {
        free(frame);
        return nullptr;
    }
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
