// strarray.cpp - StrArray: a count and that many heap strings in one exactly-sized block.
#include <cstdlib>
#include <cstring>

#include "qmveskar.h"

namespace {

size_t BlockSize(int32_t count) { return sizeof(StrArray) + sizeof(char *) * size_t(count); }

char *CopyElement(const char *text, size_t length)
{
    char *element = static_cast<char *>(calloc(length + 1, 1));
    if (element)
        memcpy(element, text, length);
    return element;
}

// Grows the block by one element holding a copy of text[0..length). On a failed growth
// null is returned and the array is left as it was (still owned by the caller).
StrArray *Append(StrArray *array, const char *text, size_t length)
{
    int32_t count = array->count;
    auto *grown = static_cast<StrArray *>(realloc(array, BlockSize(count + 1)));
    if (!grown)
        return nullptr;
    grown->count = count;
    grown->elements[count] = CopyElement(text, length);
    grown->count = count + 1;
    return grown;
}

} // namespace

extern "C" StrArray *Explode(const char *text, int separator)
{
    const char sep = char(separator & 0xFF);
    if (!text || text[0] == '\0' || sep == '\0')
        return nullptr;
    size_t length = strlen(text);
    char *work = static_cast<char *>(calloc(length + 2, 1));
    if (!work)
        return nullptr;
    memcpy(work, text, length);
    auto *array = static_cast<StrArray *>(calloc(1, BlockSize(0)));
    if (!array) {
        free(work);
        return nullptr;
    }
    char *field = work;
    for (char *p = work;; ++p) {
        if (*p == sep || *p == '\0') {
            bool last = (*p == '\0');
            *p = '\0';
            StrArray *grown = Append(array, field, size_t(p - field));
            if (!grown) {  // growth failed: release what was built
                ArrayFree(array);
                array = nullptr;
                break;
            }
            array = grown;
            if (last)
                break;
            field = p + 1;
        }
    }
    free(work);
    return array;
}

extern "C" StrArray *ArrayPush(StrArray *array, const char *text)
{
    if (!array) {
        array = static_cast<StrArray *>(calloc(1, BlockSize(0)));
        if (!array)
            return nullptr;
    }
    // A failed growth returns the array unchanged rather than losing the caller's data.
    StrArray *grown = Append(array, text ? text : "", text ? strlen(text) : 0);
    return grown ? grown : array;
}

extern "C" int ArrayFree(StrArray *array)
{
    if (!array)
        return 0;
    for (int32_t i = 0; i < array->count; ++i) {
        free(array->elements[i]);
        array->elements[i] = nullptr;
    }
    free(array);
    return 0;
}

extern "C" int StrArrayGetCount(const StrArray *array) { return array ? array->count : 0; }

extern "C" char *StrArrayGetAtElement(const StrArray *array, int index)
{
    if (!array || index < 0 || index >= array->count)
        return nullptr;
    return array->elements[index];
}
