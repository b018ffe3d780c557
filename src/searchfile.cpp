/*
 * searchfile.cpp: the search file reader and loader, and the report writer.
 */
#include "searchfile.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

Fault
searchFile_open(SearchFile *sf, const char *path)
{
    FILE *file = fopen(path, "rb");

    if (file == nullptr)
        return {FAULT_OPEN, fault_errno()};
    return searchFile_openStream(sf, file);
}

Fault
searchFile_openStream(SearchFile *sf, FILE *file)
{
    /* Taken once rather than per line: a megabyte per call would cost an
     * mmap and munmap for every term. */
    *sf = {file, static_cast<char *>(malloc(SEARCHFILE_LINE_BUFFER)), 0};
    if (sf->line == nullptr) {
        fclose(file);
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
        if (fgets(sf->line, SEARCHFILE_LINE_BUFFER, sf->file) == nullptr) {
            if (ferror(sf->file))
                sf->readError = fault_errno();
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
    /* A last line without a line feed is read up to the end of the file,
     * which sets the end-of-file indicator: no term can follow it, and
     * saying so ends the load now rather than after one more read that
     * could only find nothing. */
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
searchFile_writeReport(FILE *out, const TreeEntry *entries, const uint64_t *counts,
            size_t count)
{
    for (size_t i = 0; i < count; i++) {
        fprintf(out, "%" PRIu64 " ", counts[i]);
        fwrite(entries[i].text, 1, entries[i].length, out);
        putc('\n', out);
    }
}
