// Differential run: random term lists and texts, each searched in all three
// modes through a one-byte memory getter, through the tool's own stdio
// getter over a real stream and through one scratch kept for the whole
// run, and counted by the compiled scan on 1 to 4 threads over memory, over
// the file and in blocks of random sizes, per document, and with case
// folded, each in the form the compile chooses and prefiltered (its vector
// and its plain version), all compared with the brute-force model. A third
// of the cases have the few terms and rare matches that a prefilter skips
// over.
//
//   differential [CASES [SEED]]
//
// Prints the seed and the case on the first mismatches; the closing line
// counts cases passed and failed.

#include "count.h"
#include "frontend.h"
#include "support.h"

#include <cinttypes>
#include <cstring>
#include <random>

using namespace support;

namespace {

struct Generated {
    std::vector<std::string> terms;
    std::string text;
};

// Alphabets small enough for matches to be common, each holding some of the
// bytes the searches treat specially.
const std::string alphabets[] = {
    "ab", "ab\n", "a\nb\r", std::string("a\0\xff", 3), "a_1Z", "ab \n.",
    std::string("x\n\r\0\xff_9Q -", 10), "aAbB \n",
};

// A case where matches are rare, as the prefilter is for: a few terms (now
// and then up to 80, for the prefilter's larger kinds) over a wide alphabet, some of them put into a text of up to 9,000 bytes (past
// the scan's windows of 4,096), their first bytes now and then a letter in
// the other case, or at a word's start.
Generated
generateRare(std::mt19937_64 &rng)
{
    const std::string abc = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123 .,\n\t_";
    auto pick = [&] { return abc[rng() % abc.size()]; };
    Generated g;
    size_t textLen = rng() % 4 == 0 ? rng() % 9000 : rng() % 600;
    for (size_t i = 0; i < textLen; i++)
        g.text += pick();
    size_t count = rng() % 3 == 0 ? 1 + rng() % 80 : 1 + rng() % 4;
    while (g.terms.size() < count) {
        std::string t;
        for (size_t len = 1 + rng() % 7, i = 0; i < len; i++)
            t += pick();
        g.terms.push_back(t);
    }
    for (size_t k = rng() % 12; k > 0 && !g.text.empty(); k--) {
        std::string t = g.terms[rng() % g.terms.size()];
        if (rng() % 3 == 0)
            t[0] = static_cast<char>(t[0] ^ 0x20);
        g.text.insert(rng() % (g.text.size() + 1), rng() % 2 ? " " + t : t);
    }
    return g;
}

Generated
generate(std::mt19937_64 &rng)
{
    if (rng() % 3 == 0)
        return generateRare(rng);
    const std::string &abc = alphabets[rng() % std::size(alphabets)];
    auto pick = [&] { return abc[rng() % abc.size()]; };
    Generated g;
    size_t textLen = rng() % 301;
    for (size_t i = 0; i < textLen; i++)
        g.text += pick();

    size_t count = 1 + rng() % 20;
    while (g.terms.size() < count) {
        size_t len = rng() % 13;
        std::string t;
        switch (rng() % 5) {
        case 0:  // a piece of the text, so that something matches
            if (!g.text.empty()) {
                size_t at = rng() % g.text.size();
                t = g.text.substr(at, len);
                break;
            }
            [[fallthrough]];
        case 1:
            for (size_t i = 0; i < len; i++)
                t += pick();
            break;
        default:  // a duplicate, prefix or suffix of an earlier term
            if (g.terms.empty())
                continue;
            t = g.terms[rng() % g.terms.size()];
            if (rng() % 3 == 1)
                t = t.substr(0, rng() % (t.size() + 1));
            else if (rng() % 3 == 2)
                t = t.substr(rng() % (t.size() + 1));
        }
        g.terms.push_back(t);
    }
    // Now and then a family of long terms that differ only in the middle,
    // most of them lines of the text too, whole or cut short: a line lookup
    // cannot tell them apart by their ends.
    if (rng() % 8 == 0) {
        std::string end;
        for (int i = 0; i < 9; i++)
            end += pick();
        for (int k = 0; k < 8; k++) {
            std::string t = end;
            for (int i = 0; i < 4; i++)
                t += pick();
            t += end;
            g.terms.push_back(t);
            if (rng() % 4 != 0)
                g.text += "\n" + t.substr(0, rng() % 4 ? t.size() : rng() % t.size());
        }
    }
    return g;
}

// Searches through the tool's getter over `stream`, refilled with the text.
std::vector<size_t>
searchStdio(const Tree *tree, Mode mode, const std::string &text, FILE *stream)
{
    rewind(stream);
    if (ftruncate(fileno(stream), 0) != 0 ||
        fwrite(text.data(), 1, text.size(), stream) != text.size() ||
        fflush(stream) != 0)
        abort();
    rewind(stream);
    std::vector<size_t> reports;
    searches[mode](&reports, tree, recordMatch, stream, sgetch);
    return reports;
}

// One scratch serves every case of the run, growing as longer terms come.
TreeScratch scratch;

std::vector<size_t>
searchScratch(const Tree *tree, Mode mode, const std::string &text)
{
    MemStream in{text};
    std::vector<size_t> reports;
    if (!searchModes[mode].search(&scratch, &reports, tree, recordMatch,
                                  &in, memGetch))
        abort();
    return reports;
}

// Hands a text over in blocks of random sizes, from one byte up.
struct RandomBlocks {
    const std::string *text;
    std::mt19937_64 *rng;
    size_t most;
    size_t pos = 0;
};

int
nextRandomBlock(void *source, const void **bytes, size_t *size)
{
    RandomBlocks *b = static_cast<RandomBlocks *>(source);
    if (b->pos == b->text->size())
        return 0;
    *size = std::min<size_t>(1 + (*b->rng)() % b->most, b->text->size() - b->pos);
    *bytes = b->text->data() + b->pos;
    b->pos += *size;
    return 1;
}

std::string
lowered(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Counts the text with `sc` over memory cut into `threads` pieces, over the
// file that `stream` holds it in, and in blocks of random sizes.
bool
countsAgree(const Scanner *sc, const std::string &text, FILE *stream, unsigned threads,
            std::mt19937_64 &rng, const std::vector<uint64_t> &want)
{
    size_t n = want.size();
    std::vector<uint64_t> mem(n), file(n), blocks(n);
    Counting c = {sc, threads, nullptr, nullptr, 0};
    std::string path = "/proc/self/fd/" + std::to_string(fileno(stream));
    RandomBlocks b = {&text, &rng, rng() % 2 ? 1 + rng() % 3 : 1 + rng() % 300};
    if (count_memory(&c, text.data(), text.size(), mem.data()).kind != FAULT_NONE ||
        count_file(&c, path.c_str(), file.data()).kind != FAULT_NONE ||
        count_blocks(&c, nextRandomBlock, &b, blocks.data()).kind != FAULT_NONE)
        abort();
    return mem == want && file == want && blocks == want;
}

// Counts the text cut at random into documents, each counted on its own,
// against the model over each.
bool
eachAgrees(const Scanner *sc, const std::vector<std::string> &terms, Mode mode,
           const std::string &text, unsigned threads, std::mt19937_64 &rng)
{
    std::vector<std::string> docs;
    for (size_t at = 0; at < text.size() || docs.empty();) {
        size_t len = std::min<size_t>(rng() % 40, text.size() - at);
        docs.push_back(text.substr(at, len));
        at += len;
    }
    std::vector<Document> list;
    for (const std::string &d : docs)
        list.push_back({d.data(), d.size()});
    Counting c = {sc, threads, nullptr, nullptr, 0};
    EachCounts got;
    if (count_each(&c, list.data(), list.size(), &got).kind != FAULT_NONE)
        abort();
    bool same = got.rows == docs.size();
    for (size_t r = 0; same && r < docs.size(); r++) {
        std::vector<uint64_t> want = perEntry(reference(terms, mode, docs[r]), terms.size());
        std::vector<uint64_t> row(terms.size());
        for (size_t k = got.rowStarts[r]; k < got.rowStarts[r + 1]; k++)
            row[got.entries[k]] = got.counts[k];
        same = row == want && (r == 0 || got.rowStarts[r] >= got.rowStarts[r - 1]);
    }
    count_freeEach(&got);
    return same;
}

// Whether the compiled count gives the model's reports counted per entry:
// over memory, over the file that `stream` holds the text in, in random
// blocks and per document, and, case folded, the counts of the lowered
// text and terms. Terms with a line feed keep the text whole; the same
// list cut at its line feeds lets it cut.
bool
countsMatch(const std::vector<std::string> &terms, Mode mode, const std::string &text,
            FILE *stream, unsigned threads, std::mt19937_64 &rng)
{
    bool lineFeeds = false;
    for (const std::string &t : terms)
        lineFeeds = lineFeeds || t.find('\n') != std::string::npos;
    for (bool cutTerms : {false, true}) {
        if (cutTerms && !lineFeeds)
            break;
        std::vector<std::string> list = terms, low;
        for (std::string &t : list) {
            if (cutTerms)
                t = t.substr(0, t.find('\n'));
            low.push_back(lowered(t));
        }
        TreePtr tree = buildTree(list);
        std::vector<uint64_t> want = perEntry(reference(list, mode, text), list.size());
        std::vector<uint64_t> wantLow = perEntry(reference(low, mode, lowered(text)), list.size());
        // The form the compile chooses, then the prefiltered one (its vector
        // or its plain version) whatever the list.
        unsigned compact = rng() % 2 ? SCAN_COMPACT : 0;
        unsigned prefiltered = SCAN_PREFILTER | (rng() % 2 ? SCAN_PORTABLE : 0);
        for (unsigned form : {compact, compact | prefiltered}) {
            ScannerPtr sc = compileScanner(tree.get(), mode, form);
            ScannerPtr folded = compileScanner(tree.get(), mode, form | SCAN_IGNORE_CASE);
            if (!sc || !folded || ((form & SCAN_PREFILTER) != 0 &&
                                   scanner_prefiltered(sc.get()) != (mode != Line)))
                abort();
            if (!countsAgree(sc.get(), text, stream, threads, rng, want) ||
                !countsAgree(folded.get(), text, stream, threads, rng, wantLow) ||
                !eachAgrees(sc.get(), list, mode, text, threads, rng))
                return false;
        }
    }
    return true;
}

// The count runs in one mode per case, `countMode`: it costs threads and
// opens, the searches only calls.
bool
check(const Generated &g, FILE *stream, uint64_t seed, uint64_t index,
      unsigned threads, Mode countMode, std::mt19937_64 &rng)
{
    TreePtr tree = buildTree(g.terms);
    if (!tree)
        abort();
    for (Mode mode : {Any, Word, Line}) {
        std::vector<size_t> want = reference(g.terms, mode, g.text);
        Outcome mem = runSearch(tree, mode, g.text);
        size_t calls = getterCalls(tree.get(), mode, g.text.size());
        std::vector<size_t> file = searchStdio(tree.get(), mode, g.text, stream);
        bool counted = mode != countMode || countsMatch(g.terms, mode, g.text, stream, threads, rng);
        if (mem.reports == want && file == want && mem.getterCalls == calls &&
            mem.callsAfterEnd == 0 && searchScratch(tree.get(), mode, g.text) == want &&
            counted)
            continue;
        printf("mismatch: seed %" PRIu64 " case %" PRIu64 " mode %d\n", seed,
               index, mode);
        for (const std::string &t : g.terms)
            printf("  term \"%s\"\n", escape(t).c_str());
        printf("  text \"%s\"\n  want", escape(g.text).c_str());
        for (size_t i : want)
            printf(" %zu", i);
        printf("\n  got ");
        for (size_t i : mem.reports)
            printf(" %zu", i);
        printf(" (memory, %zu getter calls), ", mem.getterCalls);
        for (size_t i : file)
            printf(" %zu", i);
        printf(" (stdio); the scratch search or the compiled count on %u threads %s\n",
               threads, counted ? "" : "differs too");
        return false;
    }
    return true;
}

}  // namespace

int
main(int argc, char *argv[])
{
    auto number = [](const char *s) { return *s && strspn(s, "0123456789") == strlen(s); };
    if (argc > 3 || (argc > 1 && !number(argv[1])) || (argc > 2 && !number(argv[2]))) {
        fprintf(stderr, "usage: differential [CASES [SEED]]\n");
        return 2;
    }
    uint64_t cases = argc > 1 ? strtoull(argv[1], nullptr, 10) : 100000;
    uint64_t seed = argc > 2 ? strtoull(argv[2], nullptr, 10) : 1;
    FILE *stream = tmpfile();
    if (stream == nullptr) {
        perror("tmpfile");
        return 2;
    }
    uint64_t passed = 0, failed = 0;
    for (uint64_t i = 0; i < cases && failed < 10; i++) {
        std::mt19937_64 rng(seed * 0x9e3779b97f4a7c15u + i);
        unsigned threads = 1 + rng() % 4;
        Mode countMode = static_cast<Mode>(rng() % 3);
        Generated g = generate(rng);
        if (check(g, stream, seed, i, threads, countMode, rng))
            passed++;
        else
            failed++;
    }
    printf("differential: %" PRIu64 " passed, %" PRIu64 " failed\n", passed,
           failed);
    tree_releaseScratch(&scratch);
    return failed != 0;
}
