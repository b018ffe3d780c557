/*
 * frontend.cpp: the search file reader and loader, the mode table, the
 * stdio getter and the report writer.
 */
#include "frontend.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

/* The errno of a failed call; some failures leave errno at 0, and a fault
 * must never read as success. */
static int
lastError()
{
    return errno != 0 ? errno : EIO;
}

Fault
searchFile_open(SearchFile *sf, const char *path)
{
    *sf = {fopen(path, "rb"), nullptr, 0};
    if (sf->file == nullptr)
        return {FAULT_OPEN, lastError()};
    /* Taken once rather than per line: a megabyte per call would cost an
     * mmap and munmap for every term. */
    sf->line = static_cast<char *>(malloc(LINE_BUFFER));
    if (sf->line == nullptr) {
        fclose(sf->file);
        return {FAULT_MEMORY, 0};
    }
    return {FAULT_NONE, 0};
}

Fault
searchFile_close(SearchFile *sf)
{
    free(sf->line);
    fclose(sf->file);
    if (sf->readError != 0)
        return {FAULT_READ, sf->readError};
    return {FAULT_NONE, 0};
}

bool
searchFile_next(SearchFile *sf, const char **term, size_t *length)
{
    size_t len;

    do {
        if (fgets(sf->line, LINE_BUFFER, sf->file) == nullptr) {
            if (ferror(sf->file))
                sf->readError = lastError();
            return false;
        }
        len = strlen(sf->line);
        if (len != 0 && sf->line[len - 1] == '\n')
            len--;
    } while (len == 0);
    *term = sf->line;
    *length = len;
    return true;
}

bool
fileEntryIterator(void *source, Tree *tree, AddEntryFn add)
{
    SearchFile *sf = static_cast<SearchFile *>(source);
    const char *term;
    size_t len;

    if (!searchFile_next(sf, &term, &len) || !add(tree, term, len))
        return false;
    return !feof(sf->file);
}

Fault
searchFile_load(const char *path, Tree **out)
{
    SearchFile sf;
    Tree *tree = nullptr;

    *out = nullptr;
    Fault f = searchFile_open(&sf, path);
    if (f.kind != FAULT_NONE)
        return f;
    bool loaded = tree_create(&sf, &tree, fileEntryIterator);
    f = searchFile_close(&sf);
    if (!loaded)
        f = {FAULT_MEMORY, 0};
    if (f.kind != FAULT_NONE)
        tree_destroy(tree);
    else
        *out = tree;
    return f;
}

Fault
searchFile_read(const char *path, void *ctx,
                bool (*take)(void *ctx, const char *term, size_t length))
{
    SearchFile sf;
    const char *term;
    size_t len;
    bool taken = true;

    Fault f = searchFile_open(&sf, path);
    if (f.kind != FAULT_NONE)
        return f;
    while (taken && searchFile_next(&sf, &term, &len))
        taken = take(ctx, term, len);
    f = searchFile_close(&sf);
    if (!taken)
        f = {FAULT_MEMORY, 0};
    return f;
}

void
printFileFault(const char *path, Fault f)
{
    fprintf(stderr, "Failed to %s file \"%s\" error %d: %s\n",
            f.kind == FAULT_OPEN ? "open" : "read", path, f.error,
            strerror(f.error));
}

const SearchMode searchModes[3] = {
    {"any", tree_searchWith, SCAN_ANY},
    {"word", tree_searchByWordWith, SCAN_WORD},
    {"line", tree_searchByLineWith, SCAN_LINE},
};

const SearchMode *
findSearchMode(const char *name)
{
    for (const SearchMode &m : searchModes)
        if (strcmp(m.name, name) == 0)
            return &m;
    return nullptr;
}

/* Runs once per input byte: unlocked stdio keeps it to a few instructions. */
int
sgetch(void *stream)
{
    int c = getc_unlocked(static_cast<FILE *>(stream));

    return c == EOF ? -1 : c;
}

void
writeReport(FILE *out, const TreeEntry *entries, const uint64_t *counts,
            size_t count)
{
    for (size_t i = 0; i < count; i++) {
        fprintf(out, "%" PRIu64 " ", counts[i]);
        fwrite(entries[i].text, 1, entries[i].length, out);
        putc('\n', out);
    }
}

int
closeOutput()
{
    bool failed = ferror(stdout) != 0;

    if (fclose(stdout) != 0 || failed)
        return lastError();
    return 0;
}
