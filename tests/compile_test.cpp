// The compile itself: a stop asked for while it runs, lists past what it
// can number, and the form it takes for lists of either kind.
#include "scan.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

namespace {

using namespace support;

// `n` random terms of `length` letters, or of any bytes.
std::vector<std::string>
randomTerms(size_t n, size_t length = 8, bool binary = false)
{
    std::mt19937_64 rng(25);
    std::vector<std::string> terms(n);
    for (std::string &t : terms)
        for (size_t i = 0; i < length; i++)
            t += static_cast<char>(binary ? rng() % 256 : 'a' + rng() % 26);
    return terms;
}

std::vector<TreeEntry>
entriesOf(const std::vector<std::string> &terms)
{
    std::vector<TreeEntry> entries;
    for (const std::string &t : terms)
        entries.push_back({reinterpret_cast<unsigned char *>(const_cast<char *>(t.data())),
                           t.size()});
    return entries;
}

// Says stop at its `stopAt`th call. Until then each call outlasts the
// compile's interval between asks, so that the next ask is due at the
// next look at the clock, whatever the machine's speed.
struct Asked {
    unsigned stopAt;
    unsigned calls = 0;
};

bool
keepGoingUntil(void *ctx, uint64_t, uint64_t)
{
    Asked *a = static_cast<Asked *>(ctx);
    if (++a->calls >= a->stopAt)
        return false;
    if (a->stopAt != UINT32_MAX)
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
    return true;
}

TEST(Compile, AStopAskedForEndsIt)
{
    struct Case {
        const char *name;
        size_t terms;
        ScanMode mode;
        unsigned flags;
        unsigned stopAt;    // the call that says stop
    } cases[] = {
        {"no terms, stopped as it starts", 0, SCAN_ANY, 0, 1},
        {"200,000 terms, stopped as it starts", 200000, SCAN_ANY, 0, 1},
        {"200,000 terms, stopped at the second ask", 200000, SCAN_ANY, 0, 2},
        {"200,000 terms, stopped at the third ask", 200000, SCAN_WORD, 0, 3},
        {"case folded, stopped at the second ask", 200000, SCAN_ANY, SCAN_IGNORE_CASE, 2},
        {"sparse form, stopped at the second ask", 200000, SCAN_ANY, SCAN_COMPACT, 2},
        {"line lookup, stopped at the second ask", 200000, SCAN_LINE, 0, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> terms = randomTerms(c.terms);
        std::vector<TreeEntry> entries = entriesOf(terms);
        Asked asked{c.stopAt};
        Scanner *sc = reinterpret_cast<Scanner *>(&asked);
        Fault f = scanner_compileTerms(entries.data(), entries.size(), c.mode, c.flags,
                                       keepGoingUntil, &asked, &sc);
        EXPECT_EQ(f.kind, FAULT_STOPPED);
        EXPECT_EQ(sc, nullptr);
        EXPECT_EQ(asked.calls, c.stopAt);
        scanner_free(sc);
    }
}

TEST(Compile, AListNeverStoppedIsAskedAndCompiled)
{
    std::vector<std::string> terms = randomTerms(1000);
    std::vector<TreeEntry> entries = entriesOf(terms);
    Asked asked{UINT32_MAX};
    Scanner *sc = nullptr;
    Fault f = scanner_compileTerms(entries.data(), entries.size(), SCAN_ANY, 0, keepGoingUntil,
                                   &asked, &sc);
    EXPECT_EQ(f.kind, FAULT_NONE);
    ASSERT_NE(sc, nullptr);
    EXPECT_GE(asked.calls, 1u);
    EXPECT_EQ(scanner_entryCount(sc), terms.size());
    scanner_free(sc);
}

TEST(Compile, ListsPastWhatItCanNumber)
{
    // A term's length is all the compile needs to see it is too long: the
    // bytes behind it are never read.
    unsigned char byte = 'a';
    struct Case {
        const char *name;
        std::vector<TreeEntry> entries;
        ScanMode mode;
    } cases[] = {
        {"a term of 2^32 bytes", {{&byte, size_t{1} << 32}}, SCAN_ANY},
        {"a term of 2^32 bytes after others",
         {{&byte, 1}, {&byte, 1}, {&byte, (size_t{1} << 32) + 7}}, SCAN_WORD},
        {"a term of 2^33 bytes, mode line", {{&byte, size_t{1} << 33}}, SCAN_LINE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scanner *sc = nullptr;
        Fault f = scanner_compileTerms(c.entries.data(), c.entries.size(), c.mode, 0, nullptr,
                                       nullptr, &sc);
        EXPECT_EQ(f.kind, FAULT_LIMIT);
        EXPECT_EQ(sc, nullptr);
    }
}

// Every string of `length` bytes over {x, y}, and every other byte but the
// line feed alone: a list whose dense form would take nearly what its
// trie does.
std::vector<std::string>
allStringsOverTwoBytes(size_t length)
{
    std::vector<std::string> terms;
    for (size_t bits = 0; bits < size_t{1} << length; bits++) {
        std::string t;
        for (size_t i = 0; i < length; i++)
            t += bits >> i & 1 ? 'y' : 'x';
        terms.push_back(t);
    }
    for (int b = 1; b < 256; b++)
        if (b != '\n' && b != 'x' && b != 'y')
            terms.push_back(std::string(1, static_cast<char>(b)));
    return terms;
}

size_t
compiledSize(const std::vector<std::string> &terms, unsigned flags)
{
    std::vector<TreeEntry> entries = entriesOf(terms);
    Scanner *sc = nullptr;
    if (scanner_compileTerms(entries.data(), entries.size(), SCAN_ANY, flags, nullptr, nullptr,
                             &sc).kind != FAULT_NONE)
        return 0;
    size_t size = scanner_size(sc);
    scanner_free(sc);
    return size;
}

TEST(Compile, TheFormForTheList)
{
    // The sparse form is as large whatever is asked; the dense one larger.
    struct Case {
        const char *name;
        std::vector<std::string> terms;
        bool dense;
    } cases[] = {
        {"a few words", {"cat", "the", "at", "sat on"}, true},
        {"10,000 random terms", randomTerms(10000), true},
        {"50,000 random 20-byte binary terms", randomTerms(50000, 20, true), false},
        // The dense form's rows and the trie the compile holds beside
        // them pass what the index of the terms takes.
        {"all 17-byte strings over two bytes and 253 single bytes",
         allStringsOverTwoBytes(17), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        size_t chosen = compiledSize(c.terms, 0), sparse = compiledSize(c.terms, SCAN_COMPACT);
        ASSERT_NE(chosen, 0u);
        ASSERT_NE(sparse, 0u);
        EXPECT_EQ(chosen > sparse, c.dense) << chosen << " against " << sparse;
        if (c.dense)
            EXPECT_EQ(compiledSize(c.terms, SCAN_DENSE), chosen);
    }
}

}  // namespace
