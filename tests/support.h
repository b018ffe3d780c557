// Test helpers: a memory getter, a recording match handler, an index built
// from a list of strings, a brute-force model of the three searches, and
// an escaper for messages.
#ifndef TERMCOUNT_TESTS_SUPPORT_H
#define TERMCOUNT_TESTS_SUPPORT_H

#include "scan.h"
#include "tree.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace support {

enum Mode { Any, Word, Line };

inline constexpr SearchFn searches[] = {tree_search, tree_searchByWord,
                                        tree_searchByLine};

// Hands out a buffer one byte per call and counts the calls, including any
// made after it has said -1 (which a search must never do).
struct MemStream {
    std::string bytes;
    size_t pos = 0;
    size_t calls = 0;
    size_t callsAfterEnd = 0;
};

inline int
memGetch(void *stream)
{
    auto *m = static_cast<MemStream *>(stream);
    if (m->pos > m->bytes.size())
        m->callsAfterEnd++;
    m->calls++;
    if (m->pos >= m->bytes.size()) {
        m->pos = m->bytes.size() + 1;
        return -1;
    }
    return static_cast<unsigned char>(m->bytes[m->pos++]);
}

inline bool
recordMatch(void *ctx, size_t index)
{
    static_cast<std::vector<size_t> *>(ctx)->push_back(index);
    return false;  // ignored by the searches
}

struct TermList {
    const std::vector<std::string> *terms;
    size_t next;
};

// Adds the whole list in one call, as a source holding all terms at hand may.
inline bool
listEntryIterator(void *source, Tree *tree, AddEntryFn add)
{
    auto *l = static_cast<TermList *>(source);
    for (; l->next < l->terms->size(); l->next++) {
        const std::string &t = (*l->terms)[l->next];
        if (!add(tree, t.data(), t.size()))
            return false;
    }
    return false;
}

using TreePtr = std::unique_ptr<Tree, decltype(&tree_destroy)>;

// The index over `terms`, or null if loading it failed.
inline TreePtr
buildTree(const std::vector<std::string> &terms)
{
    TermList list{&terms, 0};
    Tree *tree = nullptr;
    bool ok = tree_create(&list, &tree, listEntryIterator);
    TreePtr owned(tree, tree_destroy);
    if (!ok)
        owned.reset();
    return owned;
}

struct Outcome {
    std::vector<size_t> reports;
    size_t getterCalls;
    size_t callsAfterEnd;
};

inline Outcome
runSearch(const TreePtr &tree, Mode mode, const std::string &text)
{
    MemStream in{text};
    Outcome r{};
    searches[mode](&r.reports, tree.get(), recordMatch, &in, memGetch);
    r.getterCalls = in.calls;
    r.callsAfterEnd = in.callsAfterEnd;
    return r;
}

using ScannerPtr = std::unique_ptr<Scanner, decltype(&scanner_free)>;

// The index compiled for `mode`; null if memory ran out.
inline ScannerPtr
compileScanner(const Tree *tree, Mode mode, unsigned flags = 0)
{
    Scanner *sc = nullptr;
    scanner_compile(tree, static_cast<ScanMode>(mode), flags, nullptr, nullptr, &sc);
    return ScannerPtr(sc, scanner_free);
}

// Getter calls a search must make over `length` bytes: one per byte and the
// final -1, except in mode any with no term, where nothing is read.
inline size_t
getterCalls(const Tree *tree, Mode mode, size_t length)
{
    return mode == Any && tree->maxLength == 0 ? 0 : length + 1;
}

inline bool
isWordByte(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
           (c >= 'a' && c <= 'z');
}

// The count of each of `entries` entries in a list of reports.
inline std::vector<uint64_t>
perEntry(const std::vector<size_t> &reports, size_t entries)
{
    std::vector<uint64_t> counts(entries);
    for (size_t i : reports)
        counts[i]++;
    return counts;
}

// Whether an occurrence may begin at `p` of `text` in `mode`: anywhere in
// mode any, at a word byte after a non-word byte in mode word, at a byte
// other than a line feed after a line feed in mode line (the start of the
// text counting as either).
inline bool
mayStart(Mode mode, const std::string &text, size_t p)
{
    auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    if (mode == Word)
        return isWordByte(at(p)) && (p == 0 || !isWordByte(at(p - 1)));
    if (mode == Line)
        return at(p) != '\n' && (p == 0 || at(p - 1) == '\n');
    return true;
}

// Tries every start position and every length directly: what each search
// must report, in order.
inline std::vector<size_t>
reference(const std::vector<std::string> &terms, Mode mode,
          const std::string &text)
{
    size_t longest = 0;
    for (const std::string &t : terms)
        longest = std::max(longest, t.size());
    std::vector<size_t> out;
    auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    for (size_t p = 0; p < text.size(); p++) {
        if (!mayStart(mode, text, p))
            continue;
        for (size_t len = 1; len <= longest && p + len <= text.size(); len++) {
            size_t end = p + len;
            if (mode == Word && end < text.size() && isWordByte(at(end)))
                continue;
            if (mode == Line && end < text.size() && at(end) != '\n')
                continue;
            for (size_t i = terms.size(); i-- > 0;)
                if (terms[i].size() == len && text.compare(p, len, terms[i]) == 0) {
                    out.push_back(i);
                    break;
                }
        }
    }
    return out;
}

// Bytes as C escapes where they are not printable ASCII, for messages.
inline std::string
escape(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        char buf[8];
        if (c >= 0x20 && c < 0x7f && c != '\\')
            out += static_cast<char>(c);
        else {
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace support

#endif
