/*
 * frontend.h: what the programs of termcount share, so that they cannot
 * drift apart: the search file's loader and the report writer (from
 * searchfile.h), the mode table, the byte getter over a stdio stream, and
 * what both programs print for a file's fault and at their end.
 */
#ifndef TERMCOUNT_FRONTEND_H
#define TERMCOUNT_FRONTEND_H

#include "fault.h"
#include "scan.h"
#include "searchfile.h"
#include "tree.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

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

/* The program's name for its usage message: argv[0], or `fallback` where
 * the system handed over none. */
const char *programName(int argc, char *argv[], const char *fallback);

/* Ends a run whose report went to standard output: flushes and closes it,
 * and if a write failed, here or earlier, prints "Failed to write output
 * error N: TEXT". Returns `status`, or 6 where that was 0 and writing
 * failed: the first fault of a run gives its status. */
int finishOutput(int status);

#endif
