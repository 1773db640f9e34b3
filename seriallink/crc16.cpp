// crc16.cpp - the Modbus CRC-16 (reflected polynomial 0xA001, initial value 0xFFFF, no
// final exclusive-or): the per-byte step and the append used by the frame builder.
#include "seriallink.h"

void Crc16Update(uint8_t byte, uint16_t *crc)
{
    uint16_t value = uint16_t(*crc ^ byte);
    for (int bit = 0; bit < 8; ++bit) {
        if (value & 1u)
            value = uint16_t((value >> 1) ^ 0xA001u);
        else
            value = uint16_t(value >> 1);
    }
    *crc = value;
}

void AppendCrc16(uint8_t *buffer, uint16_t count)
{
    uint16_t crc = 0xFFFF;
    for (uint16_t i = 0; i < count; ++i)
        Crc16Update(buffer[i], &crc);
    buffer[count] = uint8_t(crc & 0xFF);       // low byte first on the wire
    buffer[count + 1] = uint8_t(crc >> 8);
}
