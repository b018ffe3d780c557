/*
 * scan.h: the terms of a filled index compiled into an automaton that
 * scans blocks of memory, for the counts of count.h. It counts exactly what
 * the index's searches report, but reads each byte once with one table
 * load, where a search walks the trie from every candidate start; and
 * where the terms begin rarely, it skips with vector instructions to where
 * one may begin.
 *
 * One construction serves the three modes; a mode decides only where an
 * occurrence may start and when its end counts:
 *
 *   mode  starts                            its end counts
 *   any   anywhere                          always
 *   word  at a word byte after a non-word   before a non-word byte
 *         byte or at the start of the text  or at the end of the text
 *   line  at a byte other than a line feed  before a line feed
 *         after a line feed or at the start or at the end of the text
 *
 * A scan keeps its place in the text in a ScanState, so a text may arrive
 * in blocks of any size, down to one byte, and it adds up the counts in
 * the caller's visit counters, so any number of threads may scan with one
 * Scanner at once. Failures are returned as a Fault; this code never
 * prints and never exits.
 */
#ifndef TERMCOUNT_SCAN_H
#define TERMCOUNT_SCAN_H

#include "fault.h"
#include "tree.h"

#include <cstddef>
#include <cstdint>

enum ScanMode { SCAN_ANY, SCAN_WORD, SCAN_LINE };

/* Flags for scanner_compile. */
enum {
    SCAN_IGNORE_CASE = 1,   /* ASCII 'A'-'Z' and 'a'-'z' match each other */
    SCAN_COMPACT = 2,       /* the smaller, slower form whatever the terms (it is
                               taken anyway where the faster one would be larger
                               than the index, or large) */
    SCAN_DENSE = 4,         /* the faster form wherever its states can be named,
                               however large (for measures); not with SCAN_COMPACT */
    SCAN_NO_PREFILTER = 8,  /* the automaton reads every byte, whatever the terms */
    SCAN_PREFILTER = 16,    /* for tests: a prefilter wherever the automaton runs,
                               even where its candidates would be frequent */
    SCAN_PORTABLE = 32,     /* for tests: the prefilter's plain C++ version, whatever
                               the CPU (TERMCOUNT_PORTABLE=1 in the environment does
                               the same for every compile, and TERMCOUNT_PORTABLE=sse
                               takes the versions for CPUs without AVX2) */
};

/* Asked whether a long task should go on, about ten times a second, on
 * the thread that runs it; false stops it with FAULT_STOPPED. `done` is how
 * much of `total` is done so far (0 and 0 where that is not known: a
 * compile). `ctx` is the caller's, untouched. A count's keep-going
 * callback (count.h) has the same signature, so one function serves both. */
typedef bool (*ScanKeepGoingFn)(void *ctx, uint64_t done, uint64_t total);

/* A compiled index, for one mode; opaque. Only read once compiled. */
struct Scanner;

/* Where a scan stands in its text; private. */
struct ScanState {
    uint32_t at;        /* the automaton's state; in a line lookup, the first
                           of the terms that the line so far begins */
    uint32_t end;       /* a line lookup: one past the last of them */
    size_t depth;       /* a line lookup: the bytes of the line so far, or 1
                           past a line no term begins */
};

/* Called once per occurrence that scanner_matches counts, with the entry's
 * index; in no particular order. */
typedef void (*ScanHitFn)(void *ctx, size_t index);

/* Compiles the terms of `tree` (filled, read through tree_getEntryList)
 * for `mode` and stores the Scanner through `out`, which the caller owns
 * and frees with scanner_free. The tree is not kept: it may be destroyed
 * afterwards. Asks `keepGoing(ctx, 0, 0)` as it starts and about ten times
 * a second after (null: never). The compile takes about the list's bytes
 * in time, after a sort, and holds no more memory than its result, two
 * copies of the terms' bytes and 32 bytes a term. Returns FAULT_NONE; or,
 * with `*out` null, FAULT_MEMORY, FAULT_STOPPED when keepGoing said stop,
 * or FAULT_LIMIT when the list has 2^32 - 1 entries or more, or more
 * states than 32 bits can number. */
Fault scanner_compile(const Tree *tree, ScanMode mode, unsigned flags,
                      ScanKeepGoingFn keepGoing, void *ctx, Scanner **out);

/* The same over `count` entries laid out as an index lists them, for a
 * caller that keeps its terms without a trie. */
Fault scanner_compileTerms(const TreeEntry *entries, size_t count, ScanMode mode,
                           unsigned flags, ScanKeepGoingFn keepGoing, void *ctx,
                           Scanner **out);

/* The two compiles never asked to stop, as callers of 1.3 call them. */
Fault scanner_compile(const Tree *tree, ScanMode mode, unsigned flags, Scanner **out);
Fault scanner_compileTerms(const TreeEntry *entries, size_t count, ScanMode mode,
                           unsigned flags, Scanner **out);

/* Frees a Scanner; `sc` may be null. */
void scanner_free(Scanner *sc);

/* The bytes a Scanner holds. */
size_t scanner_size(const Scanner *sc);

/* The entries of the list it was compiled from, duplicates included. */
size_t scanner_entryCount(const Scanner *sc);

/* How many visit counters a scan adds up in: the size of the `visits`
 * arrays below. */
size_t scanner_visitCount(const Scanner *sc);

/* Whether the scan skips, with a prefilter, the bytes where no occurrence
 * can begin. */
bool scanner_prefiltered(const Scanner *sc);

/* Whether a text may be cut right after any line feed and its pieces
 * scanned apart: true unless a term holds a line feed. */
bool scanner_cuttable(const Scanner *sc);

/* Sets `st` at the start of a text, or right after a line feed. */
void scanner_start(const Scanner *sc, ScanState *st);

/* Scans the `size` bytes at `bytes`, which follow what `st` has seen, and
 * adds what it meets to `visits` (scanner_visitCount of them). */
void scanner_feed(const Scanner *sc, ScanState *st, const void *bytes,
                  size_t size, uint64_t *visits);

/* Ends the text that `st` has seen. A piece cut right after a line feed
 * may be ended as if it were a whole text. */
void scanner_finish(const Scanner *sc, ScanState *st, uint64_t *visits);

/* Turns `visits`, summed over every piece of a text, into one count per
 * entry, in list order, in `counts` (scanner_entryCount of them). `visits`
 * is used up. */
void scanner_total(const Scanner *sc, uint64_t *visits, uint64_t *counts);

/* Scans the `size` bytes at `bytes` as a whole text and calls `hit(ctx,
 * index)` once per occurrence it counts. Costs nothing per entry: for many
 * small texts. */
void scanner_matches(const Scanner *sc, const void *bytes, size_t size,
                     ScanHitFn hit, void *ctx);

#endif
