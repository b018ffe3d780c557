/*
 * termcount: counts, for every term of a search file, its occurrences in the
 * text on standard input, and prints one "COUNT TERM" line per term in the
 * order of the file.
 */
#include "searchfile.h"
#include "tree.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct SearchMode {
    const char *name;
    SearchFn search;
};

static const SearchMode modes[] = {
    {"any", tree_search},
    {"word", tree_searchByWord},
    {"line", tree_searchByLine},
};

/* Counts one occurrence; ctx is the counter array. */
static bool
entryMatchHandler(void *ctx, size_t index)
{
    static_cast<uint64_t *>(ctx)[index]++;
    return true;
}

/* Runs once per input byte: unlocked stdio keeps it to a few instructions.
 * A read error ends the input like its end; main tells them apart. */
static int
sgetch(void *stream)
{
    int c = getc_unlocked(static_cast<FILE *>(stream));

    return c == EOF ? -1 : c;
}

/* The index and the counters live until the process ends. Holding them
 * here rather than in main's frame keeps them reachable to the end, so leak
 * checkers do not report what is kept on purpose. */
static Tree *tree;
static uint64_t *counts;

static SearchFn
findMode(const char *name)
{
    for (const SearchMode &m : modes)
        if (strcmp(m.name, name) == 0)
            return m.search;
    return nullptr;
}

/* Loads the search file at `path`. Returns 0 or the exit status of the
 * failure, with its message printed. */
static int
load(const char *path, Tree **out)
{
    SearchFile sf;
    int status = searchFile_open(&sf, path);

    if (status == 3) {
        int e = errno;
        fprintf(stderr, "Failed to open file \"%s\" error %d: %s\n", path, e,
                strerror(e));
        return 3;
    }
    bool loaded = status == 0 && tree_create(&sf, out, fileEntryIterator);
    if (status == 0)
        searchFile_close(&sf);
    if (!loaded) {
        fputs("tree_create failed\n", stderr);
        return 4;
    }
    if (sf.readError != 0) {
        fprintf(stderr, "Failed to read file \"%s\" error %d: %s\n", path,
                sf.readError, strerror(sf.readError));
        return 3;
    }
    return 0;
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
    SearchFn search = findMode(argc == 3 ? argv[2] : "any");
    if (search == nullptr) {
        fputs("invalid mode\n", stderr);
        return 2;
    }

    int status = load(argv[1], &tree);
    if (status != 0)
        return status;

    size_t count;
    const TreeEntry *entries = tree_getEntryList(tree, &count);
    counts = static_cast<uint64_t *>(calloc(count ? count : 1, sizeof *counts));
    if (counts == nullptr) {
        fputs("tree_create failed\n", stderr);
        return 4;
    }

    search(counts, tree, entryMatchHandler, stdin, sgetch);
    int readError = ferror(stdin) ? (errno != 0 ? errno : EIO) : 0;

    writeReport(entries, counts, count);
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
