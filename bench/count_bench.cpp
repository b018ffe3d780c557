// count_bench: the compiled count of count.h driven as the termcount program
// is, for the benchmark's rows:
//
//     count_bench searchfile mode file [threads]
//
// reads the search file into a list of terms (the count needs no trie, so
// none is built), compiles it for the mode, counts the file with
// count_file on `threads` threads (1 unless given) and prints termcount's
// report, byte for byte. With COUNT_BENCH_STATS naming a file, it also
// writes there how the time was spent and what the compiled index holds:
// "load S", "compile S", "count S" and "index BYTES", a line each. With
// COUNT_BENCH_FORM=dense or sparse, the index is compiled in that form
// whatever the list.
#include "count.h"
#include "frontend.h"
#include "scan.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static double
secondsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

static void
writeStats(const double seconds[3], size_t scannerBytes)
{
    const char *path = getenv("COUNT_BENCH_STATS");
    FILE *f = path != nullptr ? fopen(path, "w") : nullptr;
    if (f == nullptr)
        return;
    fprintf(f, "load %.6f\ncompile %.6f\ncount %.6f\nindex %zu\n", seconds[0],
            seconds[1], seconds[2], scannerBytes);
    fclose(f);
}

// The search file's terms back to back, and where each ends.
struct TermList {
    std::string bytes;
    std::vector<size_t> ends;
};

static bool
takeTerm(void *ctx, const char *term, size_t length)
{
    TermList *list = static_cast<TermList *>(ctx);
    list->bytes.append(term, length);
    list->ends.push_back(list->bytes.size());
    return true;
}

// Prints why a count of `path` failed; returns the exit status.
static int
countFault(const char *path, Fault f)
{
    if (f.kind == FAULT_OPEN || f.kind == FAULT_READ) {
        printFileFault(path, f);
        return 5;
    }
    fputs(f.kind == FAULT_MEMORY ? "out of memory\n" : "count failed\n", stderr);
    return 4;
}

int
main(int argc, char *argv[])
{
    if (argc < 4 || argc > 5) {
        fputs("usage: count_bench searchfile mode file [threads]\n", stderr);
        return 1;
    }
    const SearchMode *mode = findSearchMode(argv[2]);
    int threads = argc == 5 ? atoi(argv[4]) : 1;
    if (mode == nullptr || threads < 1) {
        fputs("invalid mode or threads\n", stderr);
        return 2;
    }

    double seconds[3];
    auto t0 = std::chrono::steady_clock::now();
    TermList list;
    if (Fault f = searchFile_read(argv[1], &list, takeTerm); f.kind != FAULT_NONE) {
        if (f.kind == FAULT_MEMORY)
            return fputs("out of memory\n", stderr), 4;
        printFileFault(argv[1], f);
        return 3;
    }
    size_t count = list.ends.size();
    std::vector<TreeEntry> entries(count);
    for (size_t i = 0; i < count; i++) {
        size_t from = i == 0 ? 0 : list.ends[i - 1];
        entries[i] = {reinterpret_cast<unsigned char *>(list.bytes.data()) + from,
                      list.ends[i] - from};
    }
    seconds[0] = secondsSince(t0);

    t0 = std::chrono::steady_clock::now();
    Scanner *scanner;
    const char *form = getenv("COUNT_BENCH_FORM");
    unsigned flags = form == nullptr ? 0 : strcmp(form, "dense") == 0 ? SCAN_DENSE
                                         : strcmp(form, "sparse") == 0 ? SCAN_COMPACT : 0;
    if (scanner_compileTerms(entries.data(), count, mode->scan, flags, nullptr, nullptr,
                             &scanner).kind != FAULT_NONE)
        return fputs("out of memory\n", stderr), 4;
    seconds[1] = secondsSince(t0);

    t0 = std::chrono::steady_clock::now();
    uint64_t *counts = static_cast<uint64_t *>(calloc(count ? count : 1, sizeof *counts));
    if (counts == nullptr)
        return fputs("out of memory\n", stderr), 4;
    CountOptions c{};
    c.scanner = scanner;
    c.threads = static_cast<unsigned>(threads);
    if (Fault f = count_file(&c, argv[3], counts); f.kind != FAULT_NONE)
        return countFault(argv[3], f);
    seconds[2] = secondsSince(t0);

    writeStats(seconds, scanner_size(scanner));
    searchFile_writeReport(stdout, entries.data(), counts, count);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fputs("Failed to write output\n", stderr);
        return 6;
    }
    free(counts);
    scanner_free(scanner);
    return 0;
}
