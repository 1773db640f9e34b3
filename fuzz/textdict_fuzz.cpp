// textdict_fuzz.cpp - dictionary look-ups and character-set conversion on arbitrary input:
// entries "var <key> = "<value>";" followed by arbitrary lines form the systembin dictionary
// of the language "fz"; every entry's key gives the value of its first entry (through the
// store's language and the override alike), any key gives its own copy or a value without
// quotes; ConvTo, ConvFromTo and the converter on exactly sized inputs stay terminated
// inside their buffers, and pure ASCII converts to the same bytes. Runs inside the sandbox.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include "internal.h"
#include "qmveskar.h"

namespace {

const char kDict[] = "/var/www/html/lang/include/systembin/jscript/fz.js";
const char *const kSets[] = {"UTF8",  "ISO-8859-1", "ASCII",  "UTF-16LE", "UTF-16",
                             "UTF-32", "CP1252",    "EUC-JP", "UTF-7",    "NO-SUCH-SET"};

bool Ascii(const std::string &s)
{
    for (unsigned char c : s)
        if (c == 0 || c > 127)
            return false;
    return true;
}

// A heap copy of exactly text.size() + 1 bytes.
char *Exact(const std::string &text)
{
    char *copy = static_cast<char *>(malloc(text.size() + 1));
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// Sets in which ASCII text is the same bytes.
bool AsciiSet(const char *set)
{
    return !strcmp(set, "ASCII") || !strcmp(set, "ISO-8859-1") || !strcmp(set, "UTF8");
}

void Convert(const std::string &text, const char *from, const char *to, bool pair)
{
    char *input = Exact(text);
    char *result = pair ? ConvFromTo(input, from, to) : ConvTo(input, to);
    if (result != input && strlen(result) > 2 * strlen(input))
        abort();
    if (result != input && Ascii(text) && (!pair || AsciiSet(from)) && AsciiSet(to) &&
        strcmp(result, input) != 0)
        abort();
    free(input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        if (!getenv("QM_SANDBOX"))
            abort();  // the unit's fixed paths are written inside the sandbox only
        mkdir("/var/www/html/lang/include/systembin", 0755);
        mkdir("/var/www/html/lang/include/systembin/jscript", 0755);
        ready = SetVesconfEntry("LANGSTR", "fz") == 1;
    }
    FuzzedDataProvider in(data, size);
    std::map<std::string, std::string> first;
    std::string dict;
    for (int n = in.ConsumeIntegralInRange(0, 8); n > 0; --n) {
        std::string key = in.ConsumeRandomLengthString(40);
        std::string value = in.ConsumeRandomLengthString(140);
        if (key.find_first_of(std::string(" =\"\r\n\0", 6)) != std::string::npos ||
            value.find_first_of(std::string("\"\r\n\0", 4)) != std::string::npos)
            continue;
        dict += "var " + key + " = \"" + value + "\";\n";
        first.emplace(key, value);
    }
    const char *from = kSets[in.ConsumeIntegralInRange<size_t>(0, 9)];
    const char *to = kSets[in.ConsumeIntegralInRange<size_t>(0, 9)];
    const std::string key = in.ConsumeRandomLengthString(60);
    const std::string text = in.ConsumeRandomLengthString(300);
    dict += in.ConsumeBytesAsString(in.remaining_bytes());
    int fd = open(kDict, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, dict.data(), dict.size()) != ssize_t(dict.size()))
        abort();
    close(fd);

    for (const auto &[k, v] : first) {
        char *out = static_cast<char *>(malloc(v.size() > k.size() ? v.size() + 1 : k.size() + 1));
        if (GetTextAlarmLanguage(k.c_str(), out) != 1 || v != out)
            abort();
        free(out);
        if (v != GetTextDictLang(k.c_str(), "systembin", nullptr, "fz"))
            abort();
        mLang[0] = '\0';
        if (v != GetTextDict(k.c_str(), "systembin", nullptr))
            abort();
    }
    char *found = GetTextDict(key.c_str(), "systembin", nullptr);
    if (!found || (strcmp(found, key.c_str()) != 0 && strchr(found, '"')))
        abort();
    if (!GetTextDict(key.c_str(), "systembin", to))
        abort();
    char *out = static_cast<char *>(malloc(key.size() > 197 ? key.size() + 1 : 198));
    if (GetTextAlarmLanguage(key.c_str(), out) == 0 && strcmp(out, key.c_str()) != 0)
        abort();
    free(out);

    Convert(text, from, to, false);
    Convert(text, from, to, true);
    // The converter on bytes without terminator, of an exact size.
    char *bytes = static_cast<char *>(malloc(text.size() ? text.size() : 1));
    memcpy(bytes, text.data(), text.size());
    char *converted = nullptr;
    bool ok = ConvertCharset(bytes, text.size(), from, to, &converted);
    if (ok && converted[2 * text.size()] != '\0')
        abort();
    if (ok && Ascii(text) && !strcmp(from, "UTF8") && !strcmp(to, "UTF-16LE"))
        for (size_t i = 0; i < text.size(); ++i)
            if (converted[2 * i] != text[i] || converted[2 * i + 1] != 0)
                abort();
    free(converted);
    free(bytes);
    return 0;
}
