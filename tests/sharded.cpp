// Sharded runs against the whole run: random texts cut at random line feeds
// into 1 to 8 shards, random search files cut at random line boundaries into
// 1 to 5 slices, termcount run on every shard with every slice, the reports
// merged by termcount-merge, and the merged report compared byte for byte
// with one termcount run over the whole text, in all three modes.
//
//   sharded [CASES [SEED]]    random cases
//   sharded long              a search file line past the reader's limit
//
// Prints the case on the first mismatches; the closing line counts cases
// passed and failed.
#include "process.h"
#include "support.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>

using namespace process;
using support::escape;

namespace {

const char *const modes[] = {"any", "word", "line"};

struct Run {
    int status;
    std::string out;
};

Run
tool(const char *program, const std::vector<std::string> &args,
     const std::string &in)
{
    Options o;
    o.in = in;
    o.program = program;
    Result r = run(args, o);
    return {r.status, r.out + r.err};
}

// Cuts `bytes` right after `cuts` of its line feeds, picked at random and
// in order: the pieces, which concatenate to `bytes`.
std::vector<std::string>
cutAtLineFeeds(const std::string &bytes, size_t cuts, std::mt19937_64 &rng)
{
    std::vector<size_t> after;
    for (size_t i = 0; i < bytes.size(); i++)
        if (bytes[i] == '\n')
            after.push_back(i + 1);
    std::shuffle(after.begin(), after.end(), rng);
    after.resize(std::min(cuts, after.size()));
    std::sort(after.begin(), after.end());
    std::vector<std::string> pieces;
    size_t from = 0;
    for (size_t at : after) {
        pieces.push_back(bytes.substr(from, at - from));
        from = at;
    }
    pieces.push_back(bytes.substr(from));
    return pieces;
}

// Runs every shard with every slice, shard after shard and slice after
// slice, merges, and compares with the whole run. Returns an empty string on
// a match, else what differed.
std::string
compare(const std::string &terms, const std::string &text, const char *mode,
        const std::vector<std::string> &slices,
        const std::vector<std::string> &shards, unsigned feed)
{
    Run whole = tool(TERMCOUNT_BIN, {"termcount", writeFile("terms", terms), mode},
                     writeFile("text", text));
    std::vector<std::string> reports;
    for (size_t s = 0; s < shards.size(); s++) {
        std::string shard = writeFile("shard", shards[s]);
        for (size_t k = 0; k < slices.size(); k++) {
            std::string name = "report" + std::to_string(reports.size());
            Run part = tool(TERMCOUNT_BIN,
                            {"termcount", writeFile("slice", slices[k]), mode}, shard);
            if (part.status != 0)
                return "a sharded run failed: " + part.out;
            reports.push_back(writeFile(name, part.out));
        }
    }
    // The reports reach the merger as named files, on standard input, or
    // split between the two.
    std::vector<std::string> args = {"termcount-merge", writeFile("terms", terms)};
    std::string piped;
    size_t named = feed == 0 ? 0 : feed == 1 ? reports.size() : reports.size() / 2;
    args.insert(args.end(), reports.begin(), reports.begin() + named);
    for (size_t i = named; i < reports.size(); i++)
        piped += readFile(reports[i]);
    if (named != 0 && named != reports.size())
        args.push_back("-");
    Run merged = tool(MERGE_BIN, args, writeFile("piped", piped));
    if (merged.status == whole.status && merged.out == whole.out)
        return "";
    return "whole run (" + std::to_string(whole.status) + "):\n" + whole.out +
           "merged (" + std::to_string(merged.status) + "):\n" + merged.out;
}

// A search file line: a piece of the text, so that something matches, or
// random bytes; now and then empty, cut by a NUL, ended by a CR, or a copy
// of an earlier line.
std::string
randomLine(const std::string &text, const std::vector<std::string> &earlier,
           const std::string &abc, std::mt19937_64 &rng)
{
    size_t len = 1 + rng() % 8;
    switch (rng() % 8) {
    case 0:
        return "";
    case 1:
    case 2:
        if (!earlier.empty())
            return earlier[rng() % earlier.size()];
        [[fallthrough]];
    case 3:
    case 4:
        if (!text.empty()) {
            std::string piece = text.substr(rng() % text.size(), len);
            return piece.substr(0, piece.find('\n'));
        }
        [[fallthrough]];
    default: {
        std::string line;
        for (size_t i = 0; i < len; i++)
            line += abc[rng() % abc.size()];
        if (rng() % 4 == 0)
            line += rng() % 2 ? "\r" : std::string("\0tail", 5);
        return line;
    }
    }
}

bool
randomCase(uint64_t seed, uint64_t index)
{
    std::mt19937_64 rng(seed * 0x9e3779b97f4a7c15u + index);
    const std::string alphabets[] = {"ab\n", "a b\n\n", std::string("ab\n\r\0\xff", 6),
                                     "x1-_ Y\n"};
    const std::string &abc = alphabets[rng() % std::size(alphabets)];
    std::string text;
    for (size_t n = rng() % 200; text.size() < n;)
        text += abc[rng() % abc.size()];

    std::vector<std::string> lines;
    std::string terms;
    for (size_t n = rng() % 12; lines.size() < n;) {
        lines.push_back(randomLine(text, lines, abc.substr(0, abc.find('\n')) + "\r", rng));
        terms += lines.back() + "\n";
    }
    if (!terms.empty() && rng() % 4 == 0)
        terms.pop_back();  // no final line feed

    std::vector<std::string> slices = cutAtLineFeeds(terms, rng() % 5, rng);
    std::vector<std::string> shards = cutAtLineFeeds(text, rng() % 8, rng);
    unsigned feed = rng() % 3;
    for (const char *mode : modes) {
        std::string diff = compare(terms, text, mode, slices, shards, feed);
        if (diff.empty())
            continue;
        printf("mismatch: seed %" PRIu64 " case %" PRIu64 " mode %s, %zu slices, %zu shards\n"
               "  terms \"%s\"\n  text \"%s\"\n%s", seed, index, mode, slices.size(),
               shards.size(), escape(terms).c_str(), escape(text).c_str(), diff.c_str());
        return false;
    }
    return true;
}

// A line of 1,048,575 + 10 varied bytes is read as two terms. Slicing must
// keep both: the line stays whole in one slice, and the merger reads it by
// the same rules. Each run holding it builds a trie path of a million nodes
// (about 2 GiB), so this case stands apart from the random ones.
bool
longLineCase()
{
    std::mt19937_64 rng(7);
    std::string line;
    while (line.size() < 1048575 + 10) {
        char c = static_cast<char>(1 + rng() % 255);
        if (c != '\n')
            line += c;
    }
    std::string terms = "foo\n" + line + "\nbar\n";
    std::string text = "foo\n" + line.substr(0, 1048575) + "\nbar " + line.substr(1048575) + "\nfoo\n";
    std::vector<std::string> slices = {"foo\n", line + "\n", "bar\n"};
    std::vector<std::string> shards = {text.substr(0, 4), text.substr(4)};
    std::string diff = compare(terms, text, "any", slices, shards, 0);
    if (!diff.empty())
        printf("mismatch: long line\n%s", diff.substr(0, 300).c_str());
    return diff.empty();
}

}  // namespace

int
main(int argc, char *argv[])
{
    auto number = [](const char *s) { return *s && strspn(s, "0123456789") == strlen(s); };
    bool isLong = argc == 2 && strcmp(argv[1], "long") == 0;
    bool numbers = argc <= 3 && (argc < 2 || number(argv[1])) && (argc < 3 || number(argv[2]));
    if (!isLong && !numbers) {
        fprintf(stderr, "usage: sharded [CASES [SEED]]\n       sharded long\n");
        return 2;
    }
    uint64_t passed = 0, failed = 0;
    if (isLong) {
        (longLineCase() ? passed : failed)++;
    } else {
        uint64_t cases = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1000;
        uint64_t seed = argc > 2 ? strtoull(argv[2], nullptr, 10) : 1;
        for (uint64_t i = 0; i < cases && failed < 5; i++)
            (randomCase(seed, i) ? passed : failed)++;
    }
    printf("sharded: %" PRIu64 " passed, %" PRIu64 " failed\n", passed, failed);
    return failed != 0;
}
