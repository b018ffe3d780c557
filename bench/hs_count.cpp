// hs_count: termcount's report made with Hyperscan, the fastest multi-literal
// matcher a C++ user would reach for, as a peer in the benchmark:
//
//     hs_count searchfile [mode] < inputfile
//
// The search file is read by termcount's own reader, every listed term is
// compiled as a literal and standard input is scanned in stream mode, so
// that the text is never held whole. Hyperscan reports where each
// occurrence ends; the word and line rules are checked in the callback:
//
//   mode  an occurrence counts when
//   any   always
//   word  its first byte is a word byte after a non-word byte or at the
//         start, and the byte after it is a non-word byte or the end
//   line  it starts the text or follows a line feed, and the byte after it
//         is a line feed or the end
//
// A literal's start is its end less its length, so no start-of-match
// tracking is asked of Hyperscan; the bytes before the block being scanned
// are kept, as many as the longest term, so the byte before any start is at
// hand. Exit statuses are termcount's (1 usage, 2 mode, 3 search file,
// 4 memory or Hyperscan, 5 read, 6 write). With HS_COUNT_STATS naming a
// file, it also writes there "compile S", "scan S" and "index BYTES" (the
// compiled database), a line each, as count_bench does.
#include "frontend.h"

#include <hs/hs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

enum { BLOCK = 1 << 20 };

static bool
isWordByte(unsigned char c)
{
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

static bool
takeTerm(void *ctx, const char *term, size_t length)
{
    static_cast<std::vector<std::string> *>(ctx)->emplace_back(term, length);
    return true;
}

// What the callback needs. `bytes` holds the text from offset `base` on:
// the bytes kept from earlier blocks, then the block being scanned, which
// ends at offset `end`.
struct Scan {
    ScanMode mode;
    const std::vector<std::string> *listed;
    std::vector<uint64_t> counts;       // per listing
    const unsigned char *bytes;
    unsigned long long base, end;
    std::vector<unsigned> pending;      // ends at `end`, waiting for the next byte
};

static bool
startCounts(const Scan &s, unsigned long long start)
{
    if (s.mode == SCAN_ANY || start == 0)
        return true;
    unsigned char before = s.bytes[start - 1 - s.base];
    return s.mode == SCAN_WORD ? !isWordByte(before) : before == '\n';
}

static bool
endCounts(const Scan &s, unsigned char after)
{
    return s.mode == SCAN_WORD ? !isWordByte(after) : after == '\n';
}

static int
onMatch(unsigned id, unsigned long long, unsigned long long to, unsigned,
        void *ctx)
{
    Scan &s = *static_cast<Scan *>(ctx);

    if (!startCounts(s, to - (*s.listed)[id].size()))
        return 0;
    if (s.mode == SCAN_ANY)
        s.counts[id]++;
    else if (to < s.end)
        s.counts[id] += endCounts(s, s.bytes[to - s.base]);
    else
        s.pending.push_back(id);
    return 0;
}

// Settles the occurrences that end where the text goes on with `after`, or
// ends (`atEnd`).
static void
settle(Scan &s, bool atEnd, unsigned char after)
{
    for (unsigned id : s.pending)
        s.counts[id] += atEnd || endCounts(s, after);
    s.pending.clear();
}

// Compiles the last listing of every term (earlier ones stay at 0, as in
// termcount) that can count in `mode`. Returns the longest one's length,
// or sets `*db` null when no term can count.
static size_t
compile(const std::vector<std::string> &listed, ScanMode mode, hs_database_t **db)
{
    std::unordered_map<std::string, unsigned> last;
    for (size_t i = 0; i < listed.size(); i++)
        last[listed[i]] = static_cast<unsigned>(i);

    std::vector<const char *> literals;
    std::vector<unsigned> ids;
    std::vector<size_t> lengths;
    size_t longest = 0;
    for (size_t i = 0; i < listed.size(); i++) {
        const std::string &t = listed[i];
        if (last[t] != i || (mode == SCAN_WORD && !isWordByte(t[0])))
            continue;
        literals.push_back(t.data());
        ids.push_back(static_cast<unsigned>(i));
        lengths.push_back(t.size());
        longest = std::max(longest, t.size());
    }
    *db = nullptr;
    if (literals.empty())
        return 0;
    std::vector<unsigned> flags(literals.size(), 0);
    hs_compile_error_t *err = nullptr;
    if (hs_compile_lit_multi(literals.data(), flags.data(), ids.data(),
                             lengths.data(), static_cast<unsigned>(literals.size()),
                             HS_MODE_STREAM, nullptr, db, &err) != HS_SUCCESS) {
        fprintf(stderr, "hs_compile_lit_multi failed: %s\n", err->message);
        hs_free_compile_error(err);
        *db = nullptr;
        return SIZE_MAX;
    }
    return longest;
}

// Scans standard input into s.counts. Returns false if Hyperscan failed.
static bool
scanInput(Scan &s, hs_database_t *db, size_t keep)
{
    hs_scratch_t *scratch = nullptr;
    hs_stream_t *stream = nullptr;
    if (hs_alloc_scratch(db, &scratch) != HS_SUCCESS ||
        hs_open_stream(db, 0, &stream) != HS_SUCCESS) {
        fputs("hs_count: Hyperscan's scratch or stream failed\n", stderr);
        return false;
    }
    std::vector<unsigned char> buf(keep + BLOCK);
    size_t kept = 0;
    s.bytes = buf.data();
    s.base = 0;
    bool ok = true;
    for (size_t n; ok && (n = fread(buf.data() + kept, 1, BLOCK, stdin)) > 0;) {
        s.end = s.base + kept + n;
        settle(s, false, buf[kept]);
        ok = hs_scan_stream(stream, reinterpret_cast<const char *>(buf.data() + kept),
                            static_cast<unsigned>(n), 0, scratch, onMatch, &s) == HS_SUCCESS;
        size_t total = kept + n, k = std::min(keep, total);
        memmove(buf.data(), buf.data() + total - k, k);
        s.base += total - k;
        kept = k;
    }
    ok = hs_close_stream(stream, scratch, onMatch, &s) == HS_SUCCESS && ok;
    settle(s, true, 0);
    hs_free_scratch(scratch);
    if (!ok)
        fputs("hs_count: hs_scan_stream failed\n", stderr);
    return ok;
}

static double
secondsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

static void
writeStats(double compileSeconds, double scanSeconds, const hs_database_t *db)
{
    const char *path = getenv("HS_COUNT_STATS");
    FILE *f = path != nullptr ? fopen(path, "w") : nullptr;
    size_t bytes = 0;
    if (f == nullptr)
        return;
    if (db != nullptr)
        hs_database_size(db, &bytes);
    fprintf(f, "compile %.6f\nscan %.6f\nindex %zu\n", compileSeconds, scanSeconds, bytes);
    fclose(f);
}

// Reads standard input to its end, for a list with nothing to find.
static void
drainInput()
{
    static char block[BLOCK];
    while (fread(block, 1, sizeof block, stdin) > 0) {
    }
}

int
main(int argc, char *argv[])
{
    if (argc < 2 || argc > 3) {
        fputs("usage: hs_count searchfile [mode] < inputfile\n", stderr);
        return 1;
    }
    const SearchMode *mode = findSearchMode(argc == 3 ? argv[2] : "any");
    if (mode == nullptr) {
        fputs("invalid mode\n", stderr);
        return 2;
    }
    std::vector<std::string> listed;
    if (Fault f = searchFile_read(argv[1], &listed, takeTerm); f.kind != FAULT_NONE) {
        if (f.kind == FAULT_MEMORY)
            return fputs("out of memory\n", stderr), 4;
        printFileFault(argv[1], f);
        return 3;
    }

    auto t0 = std::chrono::steady_clock::now();
    hs_database_t *db;
    size_t longest = compile(listed, mode->scan, &db);
    if (longest == SIZE_MAX)
        return 4;
    double compileSeconds = secondsSince(t0);
    t0 = std::chrono::steady_clock::now();
    Scan s{mode->scan, &listed, std::vector<uint64_t>(listed.size()), nullptr, 0, 0, {}};
    if (db == nullptr)
        drainInput();
    else if (!scanInput(s, db, longest))
        return 4;
    writeStats(compileSeconds, secondsSince(t0), db);
    hs_free_database(db);
    int readError = ferror(stdin) ? (errno != 0 ? errno : EIO) : 0;

    std::vector<TreeEntry> entries;
    for (std::string &t : listed)
        entries.push_back({reinterpret_cast<unsigned char *>(t.data()), t.size()});
    searchFile_writeReport(stdout, entries.data(), s.counts.data(), entries.size());
    if (readError != 0) {
        fprintf(stderr, "Failed to read input error %d: %s\n", readError,
                strerror(readError));
        return 5;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fputs("Failed to write output\n", stderr);
        return 6;
    }
    return 0;
}
