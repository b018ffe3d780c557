/*
 * merger.h: the engine of termcount-merge. It holds a search file's terms
 * and a sum for each, and reads termcount reports into the sums, checking
 * every row against the entry it belongs to.
 *
 * Counts split exactly: no term holds a line feed, so no occurrence spans a
 * cut made right after one, and the start of a shard reads as the start of a
 * line and as a non-word byte, as the byte after a line feed does. Row r of
 * the input therefore belongs to entry r mod N of the search file, and every
 * row is checked against that entry before its count is added, so that
 * reports out of order, from another list, cut short or corrupted are refused
 * rather than summed into wrong counts.
 */
#ifndef TERMCOUNT_MERGER_H
#define TERMCOUNT_MERGER_H

#include "fault.h"
#include "tree.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

/* Why a merge stopped; the front end turns each into its message and
 * status. */
enum MergeFault {
    MERGED,
    NO_MEMORY,
    OPEN_FAILED,
    READ_FAILED,
    /* The input is refused: */
    BAD_COUNT,
    BIG_COUNT,
    NO_TERMS,
    BAD_TERM,
    NO_LINE_FEED,
    SUM_OVERFLOW,
    CUT_SHORT,
    NO_REPORT,
};

/* The search file's terms, a sum for each, and how far the input has got. */
struct Merge {
    TreeEntry *entries;     /* the search file's terms, in order */
    size_t count;           /* number of entries */
    size_t entriesCap;      /* entries there is room for */
    unsigned char *text;    /* every term's bytes, back to back */
    size_t textSize;        /* bytes of text in use */
    size_t textCap;         /* bytes of text there is room for */
    uint64_t *sums;         /* one per entry */
    bool *shadowed;         /* listed again later: checked, never summed */
    size_t next;            /* the entry the next row belongs to */
    uint64_t rows;          /* rows read so far */
    const char *name;       /* report being read; null: standard input */
    uint64_t line;          /* lines read of it */
    int error;              /* errno of a failed open or read */
};

/* Appends one term of the search file to the Merge at `merge`. Returns
 * false if memory ran out. */
bool merge_takeTerm(void *merge, const char *term, size_t length);

/* Readies `m` for reports once its last term is taken: a sum for each
 * entry, and which entries a later one lists again. Returns false if memory
 * ran out. */
bool merge_ready(Merge *m);

/* Takes the terms of the search file at `path`, by termcount's own rules,
 * and readies `m`. Returns FAULT_NONE, FAULT_OPEN, FAULT_READ or
 * FAULT_MEMORY. */
Fault merge_loadTerms(Merge *m, const char *path);

/* Reads report rows from `in` to its end into the sums. Returns MERGED at
 * the end of `in`, or the fault that stopped it, with m->line at the row
 * at fault. */
MergeFault merge_stream(Merge *m, FILE *in);

/* Merges the report file at `path`, or standard input for "-". */
MergeFault merge_file(Merge *m, const char *path);

/* Tells whether the input read in full held whole reports, and at least one
 * where the search file lists terms: a job that failed or was cut short
 * must not pass for a report with low counts. */
MergeFault merge_end(const Merge *m);

#endif
