// encoders_fuzz.cpp - the encoders against references of their own: encodeblock against
// RFC 4648 base64, HexToBytes and BytesToHex against a plain hex reading and writing,
// DottedToInt against inet_addr() on canonical addresses (four parts 0..255 without
// leading zeros, where both define the answer), AppendCrc16 against a bitwise CRC-16
// (polynomial 0xA001, initial 0xFFFF).
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"
#include "qmveskar.h"
#include "reference.h"
#include "seriallink.h"

namespace {

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Base64 of the whole buffer, as coreutils' base64 writes it without line breaks.
std::string Base64(const uint8_t *p, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = uint32_t(p[i]) << 16;
        if (i + 1 < n)
            v |= uint32_t(p[i + 1]) << 8;
        if (i + 2 < n)
            v |= p[i + 2];
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += i + 1 < n ? kB64[(v >> 6) & 63] : '=';
        out += i + 2 < n ? kB64[v & 63] : '=';
    }
    return out;
}

int HexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                        : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool Canonical(const std::string &s)
{
    int parts = 0;
    for (size_t i = 0; i <= s.size(); ++parts) {
        size_t end = s.find('.', i);
        end = end == std::string::npos ? s.size() : end;
        std::string p = s.substr(i, end - i);
        if (p.empty() || p.size() > 3 || (p.size() > 1 && p[0] == '0') ||
            p.find_first_not_of("0123456789") != std::string::npos || std::stoi(p) > 255)
            return false;
        i = end + 1;
    }
    return parts == 4;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Base64, group by group, in an exactly sized output.
    std::string encoded;
    unsigned char *out = static_cast<unsigned char *>(malloc(4));
    for (size_t i = 0; i < size; i += 3) {
        unsigned char group[3] = {data[i], i + 1 < size ? data[i + 1] : uint8_t(0),
                                  i + 2 < size ? data[i + 2] : uint8_t(0)};
        encodeblock(group, out, int(size - i < 3 ? size - i : 3));
        encoded.append(reinterpret_cast<char *>(out), 4);
    }
    free(out);
    if (encoded != Base64(data, size))
        abort();

    // Hex: the bytes written and read again; any text read as pairs of digits.
    const int count = size < 127 ? int(size) : 127;
    char *hex = BytesToHex(data, count);
    if (count > 0) {
        if (!hex || strlen(hex) != size_t(3 * count - 1))
            abort();
        for (int i = 0; i < count; ++i)
            if (HexDigit(hex[3 * i]) * 16 + HexDigit(hex[3 * i + 1]) != data[i] ||
                (i > 0 && hex[3 * i - 1] != ' '))
                abort();
    }
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();
    signed char want = size ? static_cast<signed char>(data[0]) : 0;
    unsigned char *bytes = HexToBytes(text.c_str(), want);
    const size_t pairs = want > 0 ? std::min(size_t(want), text.size() / 2) : 0;
    for (size_t i = 0; i < pairs; ++i) {
        int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
        if (hi >= 0 && lo >= 0 && bytes[i] != hi * 16 + lo)
            abort();
    }
    if (bytes[want > 0 ? want : 0] != 0)
        abort();
    free(bytes);

    // Dotted addresses.
    uint32_t dotted = DottedToInt(text.c_str());
    if (Canonical(text) && dotted != inet_addr(text.c_str()))
        abort();
    if (text.empty() && dotted != 0)
        abort();

    // CRC-16 appended low byte first.
    if (size <= 256) {
        uint8_t *frame = static_cast<uint8_t *>(malloc(size + 2));
        if (size)
            memcpy(frame, data, size);
        AppendCrc16(frame, uint16_t(size));
        const uint16_t crc = ReferenceCrc16(data, size);
        if (frame[size] != (crc & 0xFF) || frame[size + 1] != (crc >> 8))
            abort();
        free(frame);
    }
    return 0;
}
