/*
 * count.h: counts every term of an index in a text, with any number of
 * threads over the one index: a text in memory, a file, or blocks that the
 * caller hands over. It sits above the index: it cuts the text, reads
 * files and keeps the counters, while the index only searches.
 *
 * The counts are always those of one search over the whole text, as the
 * termcount program makes them. They add up exactly over pieces of a text
 * cut right after line feeds, since no occurrence of a term without a line
 * feed spans such a cut, and the start of a piece reads as the start of a
 * line and as a non-word byte, as the byte after a line feed does. So a
 * count on N threads cuts the text into N pieces of about equal size, each
 * right after a line feed, scans each piece on a thread of its own into its
 * own 64-bit counters, and adds the counters up. A text without line feeds
 * stays whole, and so does every text of an index that holds a term with a
 * line feed in it.
 *
 * Failures are returned as a Fault; this code never prints and never exits.
 */
#ifndef TERMCOUNT_COUNT_H
#define TERMCOUNT_COUNT_H

#include "fault.h"
#include "tree.h"

#include <cstddef>
#include <cstdint>

/* Asked on the calling thread, about ten times a second while a count
 * runs, whether it should go on; false stops it with FAULT_STOPPED. `ctx`
 * is the one in Counting, untouched. */
typedef bool (*KeepGoingFn)(void *ctx);

/* How to count. */
struct Counting {
    const Tree *tree;       /* the index, filled; only read */
    ScratchSearchFn search; /* tree_searchWith, tree_searchByWordWith or tree_searchByLineWith */
    unsigned threads;       /* pieces to cut a text into, a thread each; 0 counts as 1 */
    KeepGoingFn keepGoing;  /* null: the count is never asked */
    void *ctx;              /* handed to keepGoing */
};

/* Hands over the next block of a text: points `*bytes` at it, writes its
 * size and returns 1; returns 0 at the end of the text, -1 if it failed
 * (it keeps the reason). A block stays valid until the next call. */
typedef int (*NextBlockFn)(void *source, const void **bytes, size_t *size);

/* Counts the terms of c->tree in the `size` bytes at `text` and writes one
 * count per entry, in list order, to `counts` (entryCount of them).
 * Returns FAULT_NONE, FAULT_MEMORY when the threads' counters or windows
 * cannot be had (nothing is scanned then), or FAULT_STOPPED. On a fault
 * `counts` holds nothing of use. */
Fault count_memory(const Counting *c, const void *text, size_t size,
                   uint64_t *counts);

/* The same over the file at `path`, read in blocks of 1 MiB, each thread
 * from the offset where its piece starts; the file is never held whole.
 * A file that cannot be read at offsets (a pipe, a terminal) is read
 * through on one thread. Returns as count_memory does, or FAULT_OPEN or
 * FAULT_READ with the errno. */
Fault count_file(const Counting *c, const char *path, uint64_t *counts);

/* The same over the blocks that `next(source, ...)` hands over, on the
 * calling thread: a stream cannot be cut ahead. c->threads is not used.
 * Returns as count_memory does, or FAULT_SOURCE when `next` failed. */
Fault count_blocks(const Counting *c, NextBlockFn next, void *source,
                   uint64_t *counts);

/* Adds the `n` counts at `from` to those at `into`. Returns false, with
 * `into` unchanged, if a sum would pass 2^64 - 1. */
bool count_add(uint64_t *into, const uint64_t *from, size_t n);

#endif
