// vesconf_fuzz.cpp - the configuration store on arbitrary content: a key, a value and a
// second key, then the rest of the input as the store /tmp/.vesconf_file. After a set the
// key reads back its value (for a key of 1..49 characters without '=' or line feed and a
// value of at most 147 characters without '"' or line feed), and the second key keeps its
// value unless it begins with the key written (both for stores whose lines the reader
// takes whole). Runs inside the sandbox only.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include "qmveskar.h"

namespace {

const char kStore[] = "/tmp/.vesconf_file";

void WriteStore(const std::string &content)
{
    int fd = open(kStore, O_WRONLY | O_CREAT | O_TRUNC, 0664);
    if (fd < 0 || write(fd, content.data(), content.size()) != ssize_t(content.size()))
        abort();
    close(fd);
}

// The value of key as the caller sees it, from an exactly sized buffer; "\x01" for none.
std::string Get(const std::string &key)
{
    char *out = static_cast<char *>(malloc(150));
    out[0] = '\x01';
    out[1] = '\0';
    int n = GetVesconfEntry(key.c_str(), out);
    if (n != int(strlen(out)))
        abort();
    std::string value(out);
    free(out);
    return value;
}

bool Storable(const std::string &key, const std::string &value)
{
    return !key.empty() && key.size() <= 49 && key.find_first_of("=\n") == std::string::npos &&
           value.size() <= 147 && value.find_first_of("\"\n") == std::string::npos &&
           strlen(key.c_str()) == key.size() && strlen(value.c_str()) == value.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (getenv("QM_SANDBOX") == nullptr)
        abort();  // never write the unit's store outside the sandbox
    FuzzedDataProvider in(data, size);
    std::string key = in.ConsumeRandomLengthString(64);
    std::string value = in.ConsumeRandomLengthString(200);
    std::string other = in.ConsumeRandomLengthString(64);
    const std::string store = in.ConsumeBytesAsString(in.remaining_bytes());
    WriteStore(store);
    // The reader takes a line longer than 198 characters as several lines, the writer drops
    // lines by their first 511: a key in a later piece of such a line is not replaced.
    size_t longest = 0;
    for (size_t from = 0; from <= store.size();) {
        size_t end = store.find('\n', from);
        end = end == std::string::npos ? store.size() : end;
        longest = end - from > longest ? end - from : longest;
        from = end + 1;
    }
    const bool split = longest > 198;

    key = key.c_str();  // as a C caller passes them
    value = value.c_str();
    other = other.c_str();
    // A new line that the reader takes as one entry of key alone.
    const bool plainLine = key.find_first_of("=\n") == std::string::npos &&
                           value.find('\n') == std::string::npos &&
                           key.size() + value.size() + 3 <= 198;
    const std::string otherBefore = Get(other);
    if (store.find("FRMDATE") != std::string::npos &&
        GetTimeDateFormat() != (Get("FRMDATE") == "us"))
        abort();
    if (SetVesconfEntry(key.c_str(), value.c_str()) != 1)
        abort();
    if (!split && Storable(key, value) && Get(key) != value)
        abort();
    if (!split && plainLine && other != key &&
        strncmp(other.c_str(), key.c_str(), key.size()) != 0 &&
        Get(other) != otherBefore)
        abort();
    return 0;
}
