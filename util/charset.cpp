// charset.cpp - conversion of a whole text between character sets with iconv, into one
// library-owned buffer per function (mTextUtfTo for ConvTo, mTextUtfFromTo for ConvFromTo).
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iconv.h>

#include "internal.h"
#include "qmveskar.h"

extern "C" {
char *mTextUtfTo = nullptr;
char *mTextUtfFromTo = nullptr;
}

// Converts length bytes of text in one iconv call into a new zero-filled buffer of
// 2 * length + 1 bytes: the output room is 2 * length bytes, the extra byte keeps an output
// that fills the room terminated. No final reset sequence is written. Returns the buffer
// (owned by the caller) in *out and true on success; on failure *out is the buffer (or null
// when it could not be allocated) and false. *out is null when no converter could be opened.
bool ConvertCharset(const char *text, size_t length, const char *from, const char *to, char **out)
{
    *out = nullptr;
    if (!from || !to || length > (SIZE_MAX - 1) / 2)
        return false;
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    const size_t room = 2 * length;
    char *buffer = static_cast<char *>(calloc(room + 1, 1));
    bool ok = false;
    if (buffer) {
        char *in = const_cast<char *>(text);  // iconv does not write through it
        size_t inLeft = length;
        char *outPos = buffer;
        size_t outLeft = room;
        ok = iconv(cd, &in, &inLeft, &outPos, &outLeft) != static_cast<size_t>(-1);
    }
    iconv_close(cd);
    *out = buffer;
    return ok;
}

namespace {

char *ConvertInto(char **slot, const char *text, const char *from, const char *to)
{
    free(*slot);
    *slot = nullptr;
    if (!text || !*text)
        return const_cast<char *>(text);
    char *buffer;
    bool ok = ConvertCharset(text, strlen(text), from, to, &buffer);
    *slot = buffer;  // kept until the next call, whatever the outcome
    return ok ? buffer : const_cast<char *>(text);
}

} // namespace

// A UTF-8 text in the target character set, or the text itself when it was empty or could
// not be converted (unknown set, invalid input, output longer than twice the input).
extern "C" char *ConvTo(const char *text, const char *charset)
{
    return ConvertInto(&mTextUtfTo, text, "UTF8", charset);
}

extern "C" char *ConvFromTo(const char *text, const char *fromCharset, const char *toCharset)
{
    return ConvertInto(&mTextUtfFromTo, text, fromCharset, toCharset);
}
