// Differential run: random term lists and texts, each searched in all three
// modes through a one-byte memory getter, through the tool's own stdio
// getter over a real stream and through one scratch kept for the whole
// run, and counted by the compiled scan on 1 to 4 threads over memory, over
// the file and in blocks of random sizes, per document, and with case
// folded, each in the form the compile chooses and prefiltered (its vector
// and its plain version), all compared with the brute-force model. A third
// of the cases have the few terms and rare matches that a prefilter skips
// over. Every hundredth case is a big list instead, binary or natural, of
// thousands of terms, counted by the compiled scan in both its forms
// against a model that looks every start and length up in a hash of the
// terms.
//
//   differential [CASES [SEED]]
//
// Prints the seed and the case on the first mismatches; the closing line
// counts cases passed and failed.

#include "count.h"
#include "frontend.h"
#include "support.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <random>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>

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
    // Now and then only long terms, which the prefilter samples, as far
    // apart as the shortest allows.
    size_t least = rng() % 4 == 0 ? 7 + rng() % 8 : 1;
    while (g.terms.size() < count) {
        std::string t;
        for (size_t len = least + rng() % 7, i = 0; i < len; i++)
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

// Makes `text` what `stream` holds, read from its start.
void
refill(FILE *stream, const std::string &text)
{
    rewind(stream);
    if (ftruncate(fileno(stream), 0) != 0 ||
        fwrite(text.data(), 1, text.size(), stream) != text.size() ||
        fflush(stream) != 0)
        abort();
    rewind(stream);
}

// Searches through the tool's getter over `stream`, refilled with the text.
std::vector<size_t>
searchStdio(const Tree *tree, Mode mode, const std::string &text, FILE *stream)
{
    refill(stream, text);
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

// The terms as an index lists them, for a compile without a trie.
std::vector<TreeEntry>
entriesOf(const std::vector<std::string> &terms)
{
    std::vector<TreeEntry> entries;
    for (const std::string &t : terms)
        entries.push_back({reinterpret_cast<unsigned char *>(const_cast<char *>(t.data())), t.size()});
    return entries;
}

// Counts the text with `sc` over memory cut into `threads` pieces, over the
// file that `stream` holds it in, and in blocks of random sizes.
bool
countsAgree(const Scanner *sc, const std::string &text, FILE *stream, unsigned threads,
            std::mt19937_64 &rng, const std::vector<uint64_t> &want)
{
    size_t n = want.size();
    std::vector<uint64_t> mem(n), file(n), blocks(n);
    CountOptions c = {sc, threads, nullptr, nullptr, 0};
    std::string path = "/proc/self/fd/" + std::to_string(fileno(stream));
    RandomBlocks b = {&text, &rng, rng() % 2 ? 1 + rng() % 3 : 1 + rng() % 300};
    if (count_memory(&c, text.data(), text.size(), mem.data()).kind != FAULT_NONE ||
        count_file(&c, path.c_str(), file.data()).kind != FAULT_NONE ||
        count_blocks(&c, nextRandomBlock, &b, blocks.data()).kind != FAULT_NONE)
        abort();
    return mem == want && file == want && blocks == want;
}

// What a model says the counts per entry of a list are in a text.
using Model = std::function<std::vector<uint64_t>(Mode mode, const std::string &text)>;

// Tries every start and length directly, as the searches' reference does.
Model
bruteForce(const std::vector<std::string> &terms)
{
    return [&terms](Mode mode, const std::string &text) {
        return perEntry(reference(terms, mode, text), terms.size());
    };
}

// The model for big lists: at every start the mode allows, each length a
// term has is looked up in a hash of the terms, the last listing of each.
// The terms must outlive it.
Model
hashed(const std::vector<std::string> &terms)
{
    auto last = std::make_shared<std::unordered_map<std::string_view, size_t>>();
    auto lengths = std::make_shared<std::vector<size_t>>();
    for (size_t i = 0; i < terms.size(); i++) {
        (*last)[terms[i]] = i;
        if (!terms[i].empty() &&
            std::find(lengths->begin(), lengths->end(), terms[i].size()) == lengths->end())
            lengths->push_back(terms[i].size());
    }
    size_t n = terms.size();
    return [last, lengths, n](Mode mode, const std::string &text) {
        std::vector<uint64_t> counts(n);
        auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
        for (size_t p = 0; p < text.size(); p++) {
            if (!mayStart(mode, text, p))
                continue;
            for (size_t len : *lengths) {
                size_t end = p + len;
                if (end > text.size() ||
                    (mode == Word && end < text.size() && isWordByte(at(end))) ||
                    (mode == Line && end < text.size() && at(end) != '\n'))
                    continue;
                auto found = last->find(std::string_view(text).substr(p, len));
                if (found != last->end())
                    counts[found->second]++;
            }
        }
        return counts;
    };
}

// Counts the text cut at random into documents, each counted on its own,
// against the model over each.
bool
eachAgrees(const Scanner *sc, const std::vector<std::string> &terms, Mode mode,
           const std::string &text, unsigned threads, std::mt19937_64 &rng,
           const Model &model)
{
    std::vector<std::string> docs;
    for (size_t at = 0; at < text.size() || docs.empty();) {
        size_t len = std::min<size_t>(rng() % 40, text.size() - at);
        docs.push_back(text.substr(at, len));
        at += len;
    }
    std::vector<CountText> list;
    for (const std::string &d : docs)
        list.push_back({d.data(), d.size()});
    CountOptions c = {sc, threads, nullptr, nullptr, 0};
    CountRows got;
    if (count_each(&c, list.data(), list.size(), &got).kind != FAULT_NONE)
        abort();
    bool same = got.rows == docs.size();
    for (size_t r = 0; same && r < docs.size(); r++) {
        std::vector<uint64_t> want = model(mode, docs[r]);
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
            FILE *stream, unsigned threads, std::mt19937_64 &rng, unsigned form,
            Model (*modelOf)(const std::vector<std::string> &terms))
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
        std::vector<TreeEntry> entries = entriesOf(list);
        ScanMode scan = static_cast<ScanMode>(mode);
        Model model = modelOf(list);
        std::vector<uint64_t> want = model(mode, text);
        std::vector<uint64_t> wantLow = modelOf(low)(mode, lowered(text));
        // The form asked for, then prefiltered (its vector or its plain
        // version) whatever the list.
        unsigned prefiltered = SCAN_PREFILTER | (rng() % 2 ? SCAN_PORTABLE : 0);
        for (unsigned how : {form, form | prefiltered}) {
            Scanner *sc = nullptr, *folded = nullptr;
            if (scanner_compileTerms(entries.data(), list.size(), scan, how, nullptr, nullptr,
                                     &sc).kind != FAULT_NONE ||
                scanner_compileTerms(entries.data(), list.size(), scan, how | SCAN_IGNORE_CASE,
                                     nullptr, nullptr, &folded).kind != FAULT_NONE)
                abort();
            ScannerPtr own(sc, scanner_free), ownFolded(folded, scanner_free);
            if ((how & SCAN_PREFILTER) != 0 && scanner_prefiltered(sc) != (mode != Line))
                abort();
            if (!countsAgree(sc, text, stream, threads, rng, want) ||
                !countsAgree(folded, text, stream, threads, rng, wantLow) ||
                !eachAgrees(sc, list, mode, text, threads, rng, model))
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
        unsigned form = rng() % 2 ? SCAN_COMPACT : 0;
        bool counted = mode != countMode ||
                       countsMatch(g.terms, mode, g.text, stream, threads, rng, form, bruteForce);
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

// A big list, binary (any byte, terms of 1 to 24) or natural (words,
// phrases and names with dots, some capitalized), with prefixes and
// duplicates of its terms, and a text of some tens of KiB that holds many
// of them between random bytes or words.
Generated
generateBig(std::mt19937_64 &rng)
{
    bool binary = rng() % 2;
    const std::string letters = "etaoinshrdlucmfwypvbgkjqxz0123456789-";
    auto piece = [&](size_t n) {
        std::string t;
        for (size_t i = 0; i < n; i++)
            t += binary ? static_cast<char>(rng() % 256) : letters[rng() % (rng() % 2 ? 8 : 37)];
        return t;
    };
    Generated g;
    size_t count = 2000 + rng() % 6000;
    while (g.terms.size() < count) {
        std::string t;
        if (!g.terms.empty() && rng() % 4 == 0) {
            t = g.terms[rng() % g.terms.size()];
            t = rng() % 2 ? t.substr(0, 1 + rng() % t.size()) : t + piece(1 + rng() % 4);
        } else if (binary) {
            t = piece(1 + rng() % 24);
        } else {
            t = piece(2 + rng() % 8);
            if (rng() % 3 == 0)
                t += (rng() % 2 ? "." : " ") + piece(2 + rng() % 3);
            if (rng() % 5 == 0)
                t[0] = static_cast<char>(toupper(static_cast<unsigned char>(t[0])));
        }
        g.terms.push_back(t);
    }
    size_t textLen = 16384 + rng() % 49152;
    while (g.text.size() < textLen) {
        if (rng() % 3 == 0)
            g.text += g.terms[rng() % g.terms.size()];
        else
            g.text += piece(1 + rng() % 6);
        g.text += binary ? piece(rng() % 3) : std::string(1, " \n.,"[rng() % 4]);
    }
    return g;
}

// A big list counted in every mode by both forms, against the hashed model.
bool
checkBig(const Generated &g, FILE *stream, uint64_t seed, uint64_t index, unsigned threads,
         std::mt19937_64 &rng)
{
    refill(stream, g.text);
    for (Mode mode : {Any, Word, Line})
        for (unsigned form : {0u, unsigned{SCAN_COMPACT}})
            if (!countsMatch(g.terms, mode, g.text, stream, threads, rng, form, hashed)) {
                printf("mismatch: seed %" PRIu64 " case %" PRIu64 " mode %d form %u: a big list "
                       "of %zu terms over %zu bytes, counted on %u threads\n",
                       seed, index, mode, form, g.terms.size(), g.text.size(), threads);
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
        bool big = i % 100 == 99;
        Generated g = big ? generateBig(rng) : generate(rng);
        if (big ? checkBig(g, stream, seed, i, threads, rng)
                : check(g, stream, seed, i, threads, countMode, rng))
            passed++;
        else
            failed++;
    }
    printf("differential: %" PRIu64 " passed, %" PRIu64 " failed\n", passed,
           failed);
    tree_releaseScratch(&scratch);
    return failed != 0;
}
