// explode_fuzz.cpp - Explode and the case ring on arbitrary text: the element count is the
// separator count plus one, the fields joined again give the text, and case conversion
// stays inside its slot.
#include <cstdlib>
#include <cstring>
#include <string>

#include "qmveskar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    int separator = data[0];
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    text = text.c_str();  // up to the first zero byte, as a C caller would pass it
    StrArray *array = Explode(text.c_str(), separator);
    if (text.empty() || separator == 0) {
        if (array)
            abort();
        return 0;
    }
    size_t separators = 0;
    for (char c : text)
        separators += (static_cast<unsigned char>(c) == separator);
    if (!array || size_t(StrArrayGetCount(array)) != separators + 1)
        abort();
    std::string joined;
    for (int i = 0; i < StrArrayGetCount(array); ++i) {
        if (i)
            joined += char(separator);
        joined += StrArrayGetAtElement(array, i);
    }
    if (joined != text)
        abort();
    array = ArrayPush(array, text.c_str());
    ArrayFree(array);
    if (strlen(strupr(text.c_str())) != (text.size() < 200 ? text.size() : 199))
        abort();
    return 0;
}
