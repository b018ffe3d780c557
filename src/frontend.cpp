/*
 * searchfile.cpp: the search file reader and the report writer.
 */
#include "searchfile.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

int
searchFile_open(SearchFile *sf, const char *path)
{
    *sf = {fopen(path, "rb"), nullptr, 0};
    if (sf->file == nullptr)
        return 3;
    /* Taken once rather than per line: a megabyte per call would cost an
     * mmap and munmap for every term. */
    sf->line = static_cast<char *>(malloc(LINE_BUFFER));
    if (sf->line == nullptr) {
        fclose(sf->file);
        return 4;
    }
    return 0;
}

void
searchFile_close(SearchFile *sf)
{
    free(sf->line);
    fclose(sf->file);
}

bool
searchFile_next(SearchFile *sf, const char **term, size_t *length)
{
    size_t len;

    do {
        if (fgets(sf->line, LINE_BUFFER, sf->file) == nullptr) {
            if (ferror(sf->file))
                sf->readError = errno != 0 ? errno : EIO;
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

void
writeReport(const TreeEntry *entries, const uint64_t *counts, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        printf("%" PRIu64 " ", counts[i]);
        fwrite(entries[i].text, 1, entries[i].length, stdout);
        putchar('\n');
    }
}

int
closeOutput()
{
    bool failed = ferror(stdout) != 0;

    if (fclose(stdout) != 0 || failed)
        return errno != 0 ? errno : EIO;
    return 0;
}
