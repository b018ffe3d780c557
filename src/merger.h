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

/* Which rule the input broke, when a merge refuses it with FAULT_REFUSED;
 * the front end turns each into its message. */
enum MergeRefusal {
    BAD_COUNT,      /* a row does not start with digits and a blank */
    BIG_COUNT,      /* a count passes 2^64 - 1 */
    NO_TERMS,       /* a row, where the search file lists no terms */
    BAD_TERM,       /* a row's term is not the entry it belongs to */
    NO_LINE_FEED,   /* the input ends inside a row */
    SUM_OVERFLOW,   /* a sum passes 2^64 - 1 */
    CUT_SHORT,      /* the input ends inside a report */
    NO_REPORT,      /* no row, where the search file lists terms */
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
    MergeRefusal refusal;   /* the rule broken, after FAULT_REFUSED */
};

/* Appends one term of the search file to the Merge at `merge`. Returns
 * false if memory ran out. */
bool merge_takeTerm(void *merge, const char *term, size_t length);

/* Readies `m` for reports once its last term is taken: a sum for each
 * entry, and which entries a later one lists again. Returns false if memory
 * ran out; merge_free still gives back what was taken. */
bool merge_ready(Merge *m);

/* Takes the terms of the search file at `path`, by termcount's own rules,
 * into `m`, which starts zeroed, and readies it. Returns FAULT_NONE,
 * FAULT_OPEN, FAULT_READ or FAULT_MEMORY; `m` is to be freed either way. */
Fault merge_loadTerms(Merge *m, const char *path);

/* Reads report rows from `in` to its end into the sums. Returns FAULT_NONE
 * at the end of `in`, FAULT_READ with its errno, or FAULT_REFUSED with
 * m->refusal; m->line is then the row at fault. */
Fault merge_stream(Merge *m, FILE *in);

/* Merges the report file at `path`, or standard input for "-". Returns as
 * merge_stream does, or FAULT_OPEN with its errno. */
Fault merge_file(Merge *m, const char *path);

/* Tells whether the input read in full held whole reports, and at least one
 * where the search file lists terms: a job that failed or was cut short
 * must not pass for a report with low counts. Returns FAULT_NONE, or
 * FAULT_REFUSED with m->refusal CUT_SHORT or NO_REPORT. */
Fault merge_end(Merge *m);

/* Gives back everything `m` holds and leaves it zeroed, as a merge starts. */
void merge_free(Merge *m);

#endif
