/*
 * termcount: counts, for every term of a search file, its occurrences in the
 * text on standard input, and prints one "COUNT TERM" line per term in the
 * order of the file.
 */
#include "frontend.h"
#include "tree.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

/* Counts one occurrence; ctx is the counter array. */
static bool
entryMatchHandler(void *ctx, size_t index)
{
    static_cast<uint64_t *>(ctx)[index]++;
    return true;
}

/* The index, the counters and the window live until the process ends.
 * Holding them here rather than in main's frame keeps them reachable to the
 * end, so leak checkers do not report what is kept on purpose. */
static Tree *tree;
static uint64_t *counts;
static TreeScratch scratch;

/* Loads the search file at `path`. Returns 0 or the exit status of the
 * failure, with its message printed. */
static int
load(const char *path)
{
    Fault f = searchFile_load(path, &tree);

    switch (f.kind) {
    case FAULT_NONE:
        return 0;
    case FAULT_MEMORY:
        fputs("tree_create failed\n", stderr);
        return 4;
    default:
        printFileFault(path, f);
        return 3;
    }
}

int
main(int argc, char *argv[])
{
    if (argc < 2 || argc > 3) {
        /* Linux hands an empty argument vector over as one empty name. */
        const char *name = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0'
                               ? argv[0]
                               : "termcount";
        fprintf(stderr,
                "usage: %s searchfile [mode] < inputfile\n\n"
                "mode = any, word or line. default is any\n",
                name);
        return 1;
    }
    const SearchMode *mode = findSearchMode(argc == 3 ? argv[2] : "any");
    if (mode == nullptr) {
        fputs("invalid mode\n", stderr);
        return 2;
    }

    int status = load(argv[1]);
    if (status != 0)
        return status;

    /* The counters and the window are taken before the first byte is read:
     * a search that cannot have its window reads nothing and says so, so
     * running out of memory stops the run here, never halfway through. */
    size_t count;
    const TreeEntry *entries = tree_getEntryList(tree, &count);
    counts = static_cast<uint64_t *>(calloc(count ? count : 1, sizeof *counts));
    if (counts == nullptr || !mode->search(&scratch, counts, tree,
                                           entryMatchHandler, stdin, sgetch)) {
        fputs("tree_create failed\n", stderr);
        return 4;
    }
    int readError = ferror(stdin) ? (errno != 0 ? errno : EIO) : 0;

    writeReport(stdout, entries, counts, count);
    if (readError != 0) {
        fprintf(stderr, "Failed to read input error %d: %s\n", readError,
                strerror(readError));
        status = 5;
    }
    if (int e = closeOutput(); e != 0) {
        fprintf(stderr, "Failed to write output error %d: %s\n", e,
                strerror(e));
        if (status == 0)
            status = 6;
    }
    return status;
}
