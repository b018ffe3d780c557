// Differential run: random term lists and texts, each searched in all three
// modes through a one-byte memory getter and through the tool's own stdio
// getter over a real stream, and compared with the brute-force model.
//
//   differential [CASES [SEED]]
//
// Prints the seed and the case on the first mismatches; the closing line
// counts cases passed and failed.

#include "frontend.h"
#include "support.h"

#include <cinttypes>
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
    std::string("x\n\r\0\xff_9Q -", 10),
};

Generated
generate(std::mt19937_64 &rng)
{
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

bool
check(const Generated &g, FILE *stream, uint64_t seed, uint64_t index)
{
    TreePtr tree = buildTree(g.terms);
    if (!tree)
        abort();
    for (Mode mode : {Any, Word, Line}) {
        std::vector<size_t> want = reference(g.terms, mode, g.text);
        Outcome mem = runSearch(tree, mode, g.text);
        size_t calls = getterCalls(tree.get(), mode, g.text.size());
        std::vector<size_t> file = searchStdio(tree.get(), mode, g.text, stream);
        if (mem.reports == want && file == want && mem.getterCalls == calls &&
            mem.callsAfterEnd == 0)
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
        printf(" (stdio)\n");
        return false;
    }
    return true;
}

}  // namespace

int
main(int argc, char *argv[])
{
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
        if (check(generate(rng), stream, seed, i))
            passed++;
        else
            failed++;
    }
    printf("differential: %" PRIu64 " passed, %" PRIu64 " failed\n", passed,
           failed);
    return failed != 0;
}
