// libFuzzer target: a mode, a term list and a text decoded from the input,
// searched through the one-byte memory getter; the reports, in order, and
// the getter calls must match the brute-force model.
//
// Input: byte 0 picks the mode, byte 1 the number of terms (0 to 20); each
// term is a length byte (0 to 12) and that many bytes; the rest is the text.
#include "../support.h"

#include <cstdint>
#include <cstdlib>

using namespace support;

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    Mode mode = static_cast<Mode>(data[0] % 3);
    size_t count = data[1] % 21, pos = 2;
    std::vector<std::string> terms;
    while (terms.size() < count && pos < size) {
        size_t len = data[pos++] % 13;
        len = std::min(len, size - pos);
        terms.emplace_back(reinterpret_cast<const char *>(data + pos), len);
        pos += len;
    }
    std::string text(reinterpret_cast<const char *>(data + pos), size - pos);

    TreePtr tree = buildTree(terms);
    if (!tree)
        abort();
    Outcome r = runSearch(tree, mode, text);
    size_t calls = getterCalls(tree.get(), mode, text.size());
    if (r.reports != reference(terms, mode, text) || r.getterCalls != calls ||
        r.callsAfterEnd != 0)
        abort();
    return 0;
}
