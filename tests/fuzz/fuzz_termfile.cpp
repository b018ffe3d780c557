// libFuzzer target: the input is a search file, read through the tool's own
// entry source; the terms must be those a direct reading of the format
// gives: lines split at line feeds and every 1,048,575 bytes, cut at a NUL,
// the line feed dropped, empty lines skipped. The terms are collected by a
// recording add rather than a trie, which would need 2 KiB per byte of a
// long line.
#include "frontend.h"

#include <cstdlib>
#include <string>
#include <vector>

static std::vector<std::string>
expectedTerms(const uint8_t *data, size_t size)
{
    const size_t piece = SEARCHFILE_LINE_BUFFER - 1;
    std::vector<std::string> terms;
    for (size_t pos = 0; pos < size;) {
        size_t end = pos;
        while (end < size && end - pos < piece)
            if (data[end++] == '\n')
                break;
        std::string line(reinterpret_cast<const char *>(data + pos), end - pos);
        pos = end;
        line = line.substr(0, line.find('\0'));
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        if (!line.empty())
            terms.push_back(line);
    }
    return terms;
}

static std::vector<std::string> got;

static bool
recordTerm(Tree *, const void *bytes, size_t length)
{
    got.emplace_back(static_cast<const char *>(bytes), length);
    return true;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)  // fmemopen wants at least one byte
        return 0;
    std::vector<uint8_t> copy(data, data + size);
    FILE *file = fmemopen(copy.data(), size, "rb");
    SearchFile sf;
    if (file == nullptr || searchFile_openStream(&sf, file).kind != FAULT_NONE)
        abort();
    got.clear();
    while (fileEntryIterator(&sf, nullptr, recordTerm))
        ;
    if (searchFile_close(&sf).kind != FAULT_NONE || got != expectedTerms(data, size))
        abort();
    return 0;
}
