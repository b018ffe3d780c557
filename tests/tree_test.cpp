// The term index and the three searches, driven through a one-byte memory
// getter and a recording match handler; each table's counts also through
// the index compiled for counting in every form (dense and sparse, with
// and without a prefilter), fed in blocks of one and three bytes and
// whole, and over the text 50 times over.
#include "prefilter.h"
#include "scan_internal.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>

using namespace std::string_literals;
using namespace support;

namespace {

struct Case {
    const char *name;
    std::vector<std::string> terms;
    std::string text;
    std::vector<size_t> want;  // entry indexes, in report order
};

// Counts per entry from a compiled scan of `text` in blocks of `block`
// bytes, and from the scan that reports each occurrence.
std::pair<std::vector<uint64_t>, std::vector<uint64_t>>
scanCounts(const Scanner *sc, const std::string &text, size_t block)
{
    std::vector<uint64_t> visits(scanner_visitCount(sc));
    std::vector<uint64_t> counts(scanner_entryCount(sc)), hits(counts.size());
    ScanState st;
    scanner_start(sc, &st);
    for (size_t at = 0; at < text.size(); at += block)
        scanner_feed(sc, &st, text.data() + at, std::min(block, text.size() - at),
                     visits.data());
    scanner_finish(sc, &st, visits.data());
    scanner_total(sc, visits.data(), counts.data());
    scanner_matches(sc, text.data(), text.size(),
                    [](void *ctx, size_t i) { (*static_cast<std::vector<uint64_t> *>(ctx))[i]++; },
                    &hits);
    return {counts, hits};
}

// Every form of the compiled scan: the one the compile chooses, each of
// the automaton's two, and the prefilter's vector and plain versions over
// each.
struct Form {
    const char *name;
    unsigned flags;
};
const Form forms[] = {
    {"chosen", 0},
    {"automaton alone", SCAN_NO_PREFILTER},
    {"automaton alone, sparse", SCAN_COMPACT | SCAN_NO_PREFILTER},
    {"automaton alone, dense", SCAN_DENSE | SCAN_NO_PREFILTER},
    {"prefiltered", SCAN_PREFILTER},
    {"prefiltered, sparse", SCAN_PREFILTER | SCAN_COMPACT},
    {"prefiltered, plain", SCAN_PREFILTER | SCAN_PORTABLE},
    {"prefiltered, plain, sparse", SCAN_PREFILTER | SCAN_PORTABLE | SCAN_COMPACT},
};

void
check(Mode mode, const std::vector<Case> &cases)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TreePtr tree = buildTree(c.terms);
        ASSERT_NE(tree, nullptr);
        Outcome r = runSearch(tree, mode, c.text);
        EXPECT_EQ(r.reports, c.want);
        EXPECT_EQ(r.reports, reference(c.terms, mode, c.text));
        EXPECT_EQ(r.getterCalls, c.text.size() + 1);
        EXPECT_EQ(r.callsAfterEnd, 0u);

        // The text alone, and 50 times over with line feeds between: long
        // enough for a prefilter's vector loops and for candidates cut by
        // blocks of every size.
        std::string longText;
        for (int i = 0; i < 50; i++)
            longText += c.text + (i % 3 ? "\n" : " \n");
        std::vector<uint64_t> want = perEntry(c.want, c.terms.size());
        std::vector<uint64_t> wantLong = perEntry(reference(c.terms, mode, longText), c.terms.size());
        for (const Form &form : forms) {
            SCOPED_TRACE(form.name);
            ScannerPtr sc = compileScanner(tree.get(), mode, form.flags);
            ASSERT_NE(sc, nullptr);
            if ((form.flags & SCAN_PREFILTER) != 0)
                EXPECT_EQ(scanner_prefiltered(sc.get()), mode != Line);
            if ((form.flags & SCAN_NO_PREFILTER) != 0)
                EXPECT_FALSE(scanner_prefiltered(sc.get()));
            for (size_t block : {size_t{1}, size_t{3}, c.text.size() + 1}) {
                auto [counts, hits] = scanCounts(sc.get(), c.text, block);
                EXPECT_EQ(counts, want) << "blocks of " << block;
                EXPECT_EQ(hits, want);
            }
            for (size_t block : {size_t{1}, size_t{7}, size_t{33}, longText.size()}) {
                auto [counts, hits] = scanCounts(sc.get(), longText, block);
                EXPECT_EQ(counts, wantLong) << "50 times, blocks of " << block;
                EXPECT_EQ(hits, wantLong);
            }
        }
    }
}

TEST(Index, EntriesAndLongestTerm)
{
    struct IndexCase {
        const char *name;
        std::vector<std::string> terms;
        size_t maxLength;
    };
    const IndexCase cases[] = {
        {"no terms", {}, 0},
        {"empty term leaves maxLength", {""}, 0},
        {"duplicates are both listed", {"ab", "ab"}, 2},
        {"prefix and longer term", {"a", "abc", ""}, 3},
        {"any byte value", {"\0\xff"s, "\n"}, 2},
    };
    for (const IndexCase &c : cases) {
        SCOPED_TRACE(c.name);
        TreePtr tree = buildTree(c.terms);
        ASSERT_NE(tree, nullptr);
        size_t count = 99;
        const TreeEntry *list = tree_getEntryList(tree.get(), &count);
        ASSERT_EQ(count, c.terms.size());
        EXPECT_EQ(list == nullptr, c.terms.empty());
        EXPECT_EQ(tree->maxLength, c.maxLength);
        EXPECT_EQ(tree->failed, 0);
        EXPECT_EQ(tree->root.entryNo, 0u);
        for (size_t i = 0; i < count; i++)
            EXPECT_EQ(std::string(reinterpret_cast<char *>(list[i].text),
                                  list[i].length),
                      c.terms[i]);
    }
}

// An entry source that adds one term per call, as the search-file reader
// does, and says when it is exhausted.
bool
oneAtATime(void *source, Tree *tree, AddEntryFn add)
{
    auto *l = static_cast<TermList *>(source);
    if (l->next == l->terms->size())
        return false;
    const std::string &t = (*l->terms)[l->next++];
    return add(tree, t.data(), t.size());
}

TEST(Index, CreateCallsTheSourceUntilItIsExhausted)
{
    std::vector<std::string> terms = {"x", "y", "z"};
    TermList list{&terms, 0};
    Tree *tree = nullptr;
    ASSERT_TRUE(tree_create(&list, &tree, oneAtATime));
    size_t count;
    tree_getEntryList(tree, &count);
    tree_destroy(tree);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(list.next, 3u);
}

TEST(Search, WorkedExample)
{
    TreePtr tree = buildTree({"ab", "bab"});
    Outcome r = runSearch(tree, Any, "abab");
    EXPECT_EQ(r.reports, (std::vector<size_t>{0, 1, 0}));
    EXPECT_EQ(r.getterCalls, 5u);
}

TEST(Search, NoTermsReadsNothingInModeAny)
{
    for (const std::vector<std::string> &terms :
         {std::vector<std::string>{}, std::vector<std::string>{"", ""}}) {
        TreePtr tree = buildTree(terms);
        EXPECT_EQ(runSearch(tree, Any, "abc").getterCalls, 0u);
        // Word and line searches still read to the end.
        EXPECT_EQ(runSearch(tree, Word, "abc").getterCalls, 4u);
        EXPECT_EQ(runSearch(tree, Line, "abc").getterCalls, 4u);
    }
}

TEST(Search, Any)
{
    check(Any, {
        {"empty input", {"a"}, "", {}},
        {"empty term never matches", {"", "a"}, "aa", {1, 1}},
        {"overlapping", {"aa"}, "aaaa", {0, 0, 0}},
        {"prefix terms, shorter first", {"ab", "a"}, "ab", {1, 0}},
        {"suffix term", {"bc", "abc"}, "abc", {1, 0}},
        {"duplicate reported under the later entry", {"foo", "bar", "foo"},
         "foo bar foo", {2, 1, 2}},
        {"input shorter than the longest term", {"abcdef", "b", "bc"}, "abc",
         {1, 2}},
        {"term at the last byte", {"yz"}, "xyz", {0}},
        {"0xFF in the first window", {"\xff"}, "\xff\xff", {0, 0}},
        {"0xFF later", {"a\xff"}, "bbbbba\xff", {0}},
        {"NUL is data", {"a\0b"s}, "a\0ba\0b"s, {0, 0}},
        {"line feed inside a term", {"a\nb"}, "a\nb\n", {0}},
        {"match wraps the window", {"abc", "c"}, "xxabcabcab", {0, 1, 0, 1}},
        {"nested", {"abcba", "bcb", "c"}, "abcba", {0, 1, 2}},
    });
}

TEST(Search, Word)
{
    check(Word, {
        {"empty input", {"cat"}, "", {}},
        {"whole words only", {"cat"}, "cat concat cat.", {0, 0}},
        {"word continues", {"cat"}, "cats", {}},
        {"end of input closes", {"cat"}, "cat", {0}},
        {"inside a word", {"cat"}, "concat", {}},
        {"underscore and hyphen are not word bytes", {"cat"}, "_cat_ x-cat",
         {0, 0}},
        {"NUL separates", {"cat"}, "cat\0cat"s, {0, 0}},
        {"term ending in punctuation", {"end."}, "the end.", {0}},
        {"punctuation then a word byte", {"end."}, "the end.x", {}},
        {"term starting with punctuation never matches", {".net"},
         "a .net b", {}},
        {"term starting with a digit", {"4x4"}, "a 4x4 b", {0}},
        {"bytes from 0x80 are not word bytes", {"caf"}, "caf\xc3\xa9", {0}},
        {"shorter term followed by a word byte", {"a", "ab"}, "ab a", {1, 0}},
        {"several words in one term", {"New York"}, "New York, New Yorker",
         {0}},
        {"longest term then its closing byte", {"abc", "b"}, "abc abcd",
         {0}},
        {"duplicate", {"cat", "cat"}, "cat", {1}},
        {"no terms", {}, "abc def", {}},
    });
}

TEST(Search, Line)
{
    check(Line, {
        {"empty input", {"abc"}, "", {}},
        {"whole lines only", {"abc"}, "abc\nxabc\nabc", {0, 0}},
        {"empty line between", {"abc"}, "abc\n\nabc\n", {0, 0}},
        {"trailing blank", {"abc"}, "abc \n", {}},
        {"carriage return is data", {"abc"}, "abc\r\n", {}},
        {"CR term matches CR line", {"abc\r"}, "abc\r\nabc\n", {0}},
        {"prefix of a line", {"ab", "abc"}, "abc\n", {1}},
        {"input begins with a line feed", {"abc"}, "\nabc", {0}},
        {"longest term one byte before the end", {"abc"}, "abcd", {}},
        {"line a prefix of the term", {"abcd"}, "abc\nabcde\n", {}},
        {"duplicate counts once, under the later", {"ab", "cd", "ab"},
         "ab\ncd\nab", {2, 1, 2}},
        {"NUL and 0xFF are data", {"a\0\xff"s}, "a\0\xff\na\0\n"s, {0}},
        {"empty line", {"", "a"}, "\n\na\n", {1}},
        {"terms alike at both ends, unlike in the middle",
         {"first line 1 of the end", "first line 2 of the end", "first line 3 of the end",
          "first line 4 of the end", "first line 5 of the end", "first line 6 of the end"},
         "first line 6 of the end\nfirst line 7 of the end\nfirst line 2 of the end",
         {5, 1}},
        {"no terms", {}, "abc\n", {}},
    });
}

// Lists of every size the prefilter has a kind for, over a long text of
// words that holds their terms now and then, in either case: every form
// counts what the brute-force model does, in blocks of every size, and
// with case folded what the model counts over the lowered text.
TEST(Compiled, EveryFormAgreesWithTheModel)
{
    std::mt19937_64 rng(7);
    auto word = [&](size_t least) {
        std::string w;
        for (size_t n = least + rng() % 8; w.size() < n;)
            w += static_cast<char>('a' + rng() % 26);
        return w;
    };
    // The fewest bytes of a term: 2 for the first of most lists, then 4;
    // 7 in the last two, whose prefilter reads samples.
    const struct {
        size_t count, least;
    } lists[] = {{3, 2}, {8, 2}, {20, 2}, {60, 2}, {300, 2}, {40, 7}, {500, 7}};
    for (const auto &list : lists) {
        size_t count = list.count;
        std::vector<std::string> terms, low;
        for (size_t i = 0; i < count; i++)
            terms.push_back(word(i == 0 ? list.least : std::max<size_t>(list.least, 4)));
        std::string text;
        while (text.size() < 20000) {
            std::string w = rng() % 8 == 0 ? terms[rng() % count] : word(1);
            if (rng() % 4 == 0)
                w[0] = static_cast<char>(w[0] - 'a' + 'A');
            text += w + (rng() % 10 == 0 ? "\n" : " ");
        }
        std::string lowText = text;
        for (char &ch : lowText)
            ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        TreePtr tree = buildTree(terms);
        for (Mode mode : {Any, Word}) {
            std::vector<uint64_t> want = perEntry(reference(terms, mode, text), count);
            std::vector<uint64_t> wantLow = perEntry(reference(terms, mode, lowText), count);
            for (const Form &form : forms)
                for (unsigned fold : {0, int{SCAN_IGNORE_CASE}}) {
                    SCOPED_TRACE(std::to_string(count) + " terms, mode " + std::to_string(mode) +
                                 ", " + form.name + (fold ? ", case folded" : ""));
                    ScannerPtr sc = compileScanner(tree.get(), mode, form.flags | fold);
                    ASSERT_NE(sc, nullptr);
                    for (size_t block : {size_t{1}, size_t{29}, size_t{4099}, text.size()}) {
                        auto [counts, hits] = scanCounts(sc.get(), text, block);
                        EXPECT_EQ(counts, fold ? wantLow : want) << "blocks of " << block;
                        EXPECT_EQ(hits, fold ? wantLow : want);
                    }
                }
        }
    }
}

// Whether a term may begin at `at` for the prefilter: its bytes there, or
// as many of them as the text has left (an occurrence a block cuts), and
// in mode word after a non-word byte, unless `at` is where the search
// began, whose byte before the prefilter does not read.
bool
mayBeginAt(const std::vector<std::string> &terms, const std::string &text, size_t at,
           size_t from, bool word)
{
    auto isWord = [](unsigned char b) { return isalnum(b) != 0; };
    if (word && at != from && isWord(static_cast<unsigned char>(text[at - 1])))
        return false;
    for (const std::string &t : terms) {
        size_t n = std::min(t.size(), text.size() - at);
        if (!t.empty() && text.compare(at, n, t, 0, n) == 0)
            return true;
    }
    return false;
}

// The prefilter of each kind, its plain and its fastest version, asked
// again and again from one past its last candidate, over texts cut short
// at every length near a vector's: no position where a term may begin
// lies before the candidate it returns.
TEST(Prefilter, SkipsNoPositionWhereATermMayBegin)
{
    std::mt19937_64 rng(11);
    auto word = [&](size_t least) {
        std::string w;
        for (size_t n = least + rng() % 6; w.size() < n;)
            w += static_cast<char>('a' + rng() % 6);
        return w;
    };
    const struct {
        size_t count, least;    /* terms, and the fewest bytes of one */
        PrefilterKind kind;
    } lists[] = {
        {2, 1, PREFILTER_PAIRS},
        {12, 3, PREFILTER_NIBBLES},
        {40, 3, PREFILTER_NIBBLES},
        {200, 3, PREFILTER_GRAMS},
        {100, 7, PREFILTER_SAMPLES},    /* a stride of 4 */
        {400, 12, PREFILTER_SAMPLES},   /* the widest stride, 8 */
    };
    for (const auto &list : lists) {
        size_t count = list.count;
        std::vector<std::string> terms;
        for (size_t i = 0; i < count; i++)
            terms.push_back(word(list.least));
        std::sort(terms.begin(), terms.end());
        std::vector<Entered> entered;
        for (const std::string &t : terms)
            entered.push_back({reinterpret_cast<const unsigned char *>(t.data()), static_cast<uint32_t>(t.size()), 0});
        std::string text;
        while (text.size() < 3000)
            text += word(1) + (rng() % 3 ? " " : ".");
        for (bool wordStarts : {false, true})
            for (unsigned how : {unsigned{PREFILTER_ALWAYS}, unsigned{PREFILTER_ALWAYS | PREFILTER_PLAIN}}) {
                SCOPED_TRACE(std::to_string(count) + " terms" + (wordStarts ? ", word starts" : "") +
                             (how & PREFILTER_PLAIN ? ", plain" : ""));
                Prefilter *pf = nullptr;
                ASSERT_TRUE(prefilter_build(entered.data(), entered.size(), false, wordStarts, how, &pf));
                ASSERT_NE(pf, nullptr);
                EXPECT_EQ(pf->kind, list.kind);
                for (size_t size : {text.size(), size_t{31}, size_t{64}, size_t{97}, size_t{200}}) {
                    const unsigned char *base = reinterpret_cast<const unsigned char *>(text.data());
                    std::string cut = text.substr(0, size);
                    for (size_t p = 0; p < size;) {
                        size_t q = prefilter_next(pf, base + p, base + size) - base;
                        for (size_t i = p; i < q; i++)
                            ASSERT_FALSE(mayBeginAt(terms, cut, i, p, wordStarts))
                                << "skipped " << i << " of " << size;
                        p = q + 1;
                    }
                }
                prefilter_free(pf);
            }
    }
}

TEST(Compiled, PrefilterWhereCandidatesAreRare)
{
    std::vector<std::string> ten, oneByte, manyLong;
    for (char a = 'a'; a < 'a' + 20; a++) {
        ten.push_back(std::string(1, a) + "qzxjkvwyuf");
        oneByte.push_back(std::string(1, a));
    }
    // Too many long terms for the samples' table, but in capitals and
    // digits, which the grams let few letters through for.
    std::mt19937_64 rng(5);
    while (manyLong.size() < 6000) {
        std::string t;
        while (t.size() < 7)
            t += "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"[rng() % 36];
        manyLong.push_back(t);
    }
    struct ChoiceCase {
        const char *name;
        std::vector<std::string> terms;
        Mode mode;
        unsigned flags;
        bool prefiltered;
    };
    const ChoiceCase cases[] = {
        {"no terms", {}, Any, 0, true},
        {"three words", {"ERROR", "WARNING", "FATAL"}, Any, 0, true},
        {"three words, case folded", {"ERROR", "WARNING", "FATAL"}, Word, SCAN_IGNORE_CASE, true},
        {"eight starts of one byte", {"a", "b", "c", "d", "e", "f", "g", "h"}, Any, 0, true},
        {"nine starts of one byte", {"a", "b", "c", "d", "e", "f", "g", "h", "i"}, Any, 0, false},
        {"twenty terms of one byte", oneByte, Any, 0, false},
        {"twenty starts of four bytes", ten, Word, 0, true},
        {"too many long terms to sample", manyLong, Any, 0, true},
        {"asked for none", {"ERROR"}, Any, SCAN_NO_PREFILTER, false},
        {"mode line has none", {"ERROR"}, Line, 0, false},
        {"nor with a line feed in a term", {"ERR\nOR"}, Line, SCAN_PREFILTER, false},
    };
    for (const ChoiceCase &c : cases) {
        SCOPED_TRACE(c.name);
        TreePtr tree = buildTree(c.terms);
        ScannerPtr sc = compileScanner(tree.get(), c.mode, c.flags);
        ASSERT_NE(sc, nullptr);
        EXPECT_EQ(scanner_prefiltered(sc.get()), c.prefiltered);
    }
}

TEST(Search, LongInput)
{
    std::string text;
    for (int i = 0; i < 20000; i++)
        text += "the cat sat on the mat\n";
    TreePtr tree = buildTree({"the", "at", "the cat sat on the mat"});
    for (Mode mode : {Any, Word, Line}) {
        Outcome r = runSearch(tree, mode, text);
        EXPECT_EQ(r.reports, reference({"the", "at", "the cat sat on the mat"},
                                       mode, text));
        EXPECT_EQ(r.getterCalls, text.size() + 1);
    }
}

}  // namespace
