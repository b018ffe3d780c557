/*
 * searchfile.h: the search file, one term per line, read and loaded as the
 * termcount program loads it, and the report it writes: for every program
 * that takes the same files and must give the same counts.
 *
 * The rules of a search file: terms are separated by line feeds; empty
 * lines are skipped; a last line without a line feed is a term too; a NUL
 * byte ends its line's term; a carriage return is a byte of the term; a
 * line of more than SEARCHFILE_LINE_BUFFER - 1 bytes becomes several terms,
 * one per read of that many bytes. Terms keep the order of their lines,
 * duplicates included.
 *
 * Failures are returned as a Fault; this code never prints and never exits.
 */
#ifndef TERMCOUNT_SEARCHFILE_H
#define TERMCOUNT_SEARCHFILE_H

#include "fault.h"
#include "tree.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

/* A search file line is read in pieces of at most this many bytes, plus the
 * terminating NUL: a longer line becomes several terms. */
enum { SEARCHFILE_LINE_BUFFER = 1 << 20 };

/* A search file being read. */
struct SearchFile {
    FILE *file;         /* open for reading in binary mode */
    char *line;         /* SEARCHFILE_LINE_BUFFER bytes, taken once for the whole read */
    int readError;      /* errno of a failed read; 0: none */
};

/* Opens the search file at `path` and takes its line buffer. Returns
 * FAULT_NONE, FAULT_OPEN with its errno, or FAULT_MEMORY; on failure
 * nothing stays open or taken. */
Fault searchFile_open(SearchFile *sf, const char *path);

/* Reads a search file from `file`, open for reading, and takes its line
 * buffer. The reader owns `file` from here: searchFile_close closes it, and
 * so does a failure here, FAULT_MEMORY, so nothing stays open or taken.
 * Returns FAULT_NONE or FAULT_MEMORY. */
Fault searchFile_openStream(SearchFile *sf, FILE *file);

/* Reads up to the next non-empty line and points `*term` at its `*length`
 * bytes: the line feed is dropped, a NUL ends the term, a carriage return
 * stays. The bytes live in the line buffer until the next call. Returns false
 * at the end of the file or on a read error, which is noted in readError. */
bool searchFile_next(SearchFile *sf, const char **term, size_t *length);

/* Gives back what searchFile_open or searchFile_openStream took, the file
 * closed. Returns FAULT_READ with its errno if a read failed, else
 * FAULT_NONE. */
Fault searchFile_close(SearchFile *sf);

/* The entry source over an open search file (`source` is the SearchFile):
 * adds the next term. Returns false once the file is exhausted, on a read
 * error or when the add failed. */
bool fileEntryIterator(void *source, Tree *tree, AddEntryFn add);

/* Loads the search file at `path` into a new index and stores it through
 * `out`, which the caller then owns. On failure (FAULT_OPEN, FAULT_READ,
 * FAULT_MEMORY; memory counts first) `*out` is null. */
Fault searchFile_load(const char *path, Tree **out);

/* Hands every term of the search file at `path` to `take(ctx, bytes,
 * length)`, in order; false from `take` means memory ran out. Returns
 * FAULT_NONE, FAULT_OPEN, FAULT_READ or FAULT_MEMORY (memory first). */
Fault searchFile_read(const char *path, void *ctx,
                      bool (*take)(void *ctx, const char *term, size_t length));

/* Writes the report: "COUNT TERM\n" for each of the `count` entries, in
 * list order, to `out`, COUNT in decimal and TERM its bytes as they are.
 * Write errors are left in the stream's error flag, for the caller's
 * ferror or fclose. */
void searchFile_writeReport(FILE *out, const TreeEntry *entries, const uint64_t *counts,
                 size_t count);

#endif
