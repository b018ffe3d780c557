/*
 * searchfile.h: the two formats that termcount and termcount-merge share,
 * read and written in one place so that the programs cannot drift apart: the
 * search file (one term per line) and the report (one "COUNT TERM" line per
 * term).
 */
#ifndef TERMCOUNT_SEARCHFILE_H
#define TERMCOUNT_SEARCHFILE_H

#include "tree.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

/* A search file line is read in pieces of at most this many bytes, plus the
 * terminating NUL: a longer line becomes several terms. */
enum { LINE_BUFFER = 1 << 20 };

/* A search file being read. */
struct SearchFile {
    FILE *file;         /* open for reading in binary mode */
    char *line;         /* LINE_BUFFER bytes, taken once for the whole read */
    int readError;      /* errno of a failed read; 0: none */
};

/* Opens the search file at `path` and takes its line buffer. Returns 0, or
 * the reason it failed: 3 when the file cannot be opened (errno says why),
 * 4 when the buffer cannot be had. On failure nothing stays open or taken. */
int searchFile_open(SearchFile *sf, const char *path);

/* Gives back what searchFile_open took. */
void searchFile_close(SearchFile *sf);

/* Reads up to the next non-empty line and points `*term` at its `*length`
 * bytes: the line feed is dropped, a NUL ends the term, a carriage return
 * stays. The bytes live in the line buffer until the next call. Returns false
 * at the end of the file or on a read error, which is noted in readError. */
bool searchFile_next(SearchFile *sf, const char **term, size_t *length);

/* The entry source over an open search file (`source` is the SearchFile):
 * adds the next term. Returns false once the file is exhausted, on a read
 * error or when the add failed. */
bool fileEntryIterator(void *source, Tree *tree, AddEntryFn add);

/* Writes "COUNT TERM\n" for each of the `count` entries, in list order, to
 * standard output. Write errors are left in stdout's error flag. */
void writeReport(const TreeEntry *entries, const uint64_t *counts, size_t count);

/* Flushes and closes standard output. Returns 0, or the errno of a write
 * that failed here or earlier. */
int closeOutput();

#endif
