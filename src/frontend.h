/*
 * frontend.h: what every front end of termcount shares, so that they cannot
 * drift apart: the search file (one term per line) read and loaded, the
 * mode table, the byte getter over a stdio stream, the report (one
 * "COUNT TERM" line per term) written, and what both programs print for a
 * file's fault and at their end.
 */
#ifndef TERMCOUNT_FRONTEND_H
#define TERMCOUNT_FRONTEND_H

#include "fault.h"
#include "scan.h"
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

/* Prints "Failed to open file "PATH" error N: TEXT", or the same with
 * "read", for a FAULT_OPEN or FAULT_READ; a null `path` stands for
 * standard input: "Failed to read input error N: TEXT". */
void printFileFault(const char *path, Fault f);

/* A mode as the user names it, the index's streaming search for it, and
 * the same mode for a compiled scan. */
struct SearchMode {
    const char *name;
    ScratchSearchFn search;
    ScanMode scan;
};

/* "any", "word" and "line", in that order. */
extern const SearchMode searchModes[3];

/* The mode named exactly `name`, or null. */
const SearchMode *findSearchMode(const char *name);

/* The getter over a stdio stream (`stream` is the FILE *). A read error
 * ends the input like its end; the caller tells them apart with ferror. */
int sgetch(void *stream);

/* Writes "COUNT TERM\n" for each of the `count` entries, in list order, to
 * `out`. Write errors are left in the stream's error flag. */
void writeReport(FILE *out, const TreeEntry *entries, const uint64_t *counts,
                 size_t count);

/* The program's name for its usage message: argv[0], or `fallback` where
 * the system handed over none. */
const char *programName(int argc, char *argv[], const char *fallback);

/* Ends a run whose report went to standard output: flushes and closes it,
 * and if a write failed, here or earlier, prints "Failed to write output
 * error N: TEXT". Returns `status`, or 6 where that was 0 and writing
 * failed: the first fault of a run gives its status. */
int finishOutput(int status);

#endif
