/*
 * termcount: counts, for every term of a search file, its occurrences in the
 * text on standard input, and prints one "COUNT TERM" line per term in the
 * order of the file.
 */
#include "frontend.h"
#include "tree.h"

#include <cstdio>
#include <cstdlib>

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

/* README documents this message for running out of memory, where
 * termcount-merge says "Out of memory": each program keeps the one its users
 * and their scripts know. */
static const char outOfMemory[] = "tree_create failed\n";

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
        fputs(outOfMemory, stderr);
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
        fprintf(stderr,
                "usage: %s searchfile [mode] < inputfile\n\n"
                "mode = any, word or line. default is any\n",
                programName(argc, argv, "termcount"));
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
        fputs(outOfMemory, stderr);
        return 4;
    }
    /* Taken before the report is written, which may set errno anew. */
    int readError = ferror(stdin) ? fault_errno() : 0;

    searchFile_writeReport(stdout, entries, counts, count);
    if (readError != 0) {
        printFileFault(nullptr, {FAULT_READ, readError});
        status = 5;
    }
    return finishOutput(status);
}
