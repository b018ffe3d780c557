/*
 * count.h: counts every term of an index in a text, with any number of
 * threads over one compiled index (scan.h): a text in memory, a file, many
 * files, blocks that the caller hands over, or many small texts each on
 * its own. It sits above the index: it cuts the text, reads files and
 * keeps the counters, while the Scanner only scans.
 *
 * The counts are always those of one search over the whole text, as the
 * termcount program makes them. They add up exactly over pieces of a text
 * cut right after line feeds, since no occurrence of a term without a line
 * feed spans such a cut, and the start of a piece reads as the start of a
 * line and as a non-word byte, as the byte after a line feed does. So a
 * count on N threads cuts the text into N pieces of about equal size, each
 * right after a line feed, scans each piece on a thread of its own into its
 * own counters, and adds the counters up. A text without line feeds stays
 * whole, and so does every text of an index that holds a term with a line
 * feed in it.
 *
 * Failures are returned as a Fault; this code never prints and never exits.
 */
#ifndef TERMCOUNT_COUNT_H
#define TERMCOUNT_COUNT_H

#include "decompress.h"
#include "fault.h"
#include "scan.h"

#include <cstddef>
#include <cstdint>

/* Asked on the calling thread when a count starts and then about ten times
 * a second while it runs, whether it should go on; false stops it with FAULT_STOPPED. `done`
 * is how much of `total` is counted so far: bytes, or texts for
 * count_each; `total` is 0 where it is not known ahead (a pipe, blocks).
 * `ctx` is the one in CountOptions, untouched. */
typedef bool (*CountKeepGoingFn)(void *ctx, uint64_t done, uint64_t total);

/* How to count. Every field has its default, so that designated
 * initialisers name only the fields they set, and a field added later
 * breaks no caller. */
struct CountOptions {
    const Scanner *scanner = nullptr;   /* the compiled index, in the mode to count; only read */
    unsigned threads = 1;               /* threads to count on; 0 counts as 1 */
    CountKeepGoingFn keepGoing = nullptr;   /* null: the count is never asked */
    void *ctx = nullptr;                /* handed to keepGoing */
    size_t minPiece = 0;                /* bytes a thread's piece of a text is at least; 0: any */
};

/* Hands over the next block of a text: points `*bytes` at it, writes its
 * size and returns 1; returns 0 at the end of the text, -1 if it failed
 * (it keeps the reason). A block stays valid until the next call. */
typedef int (*CountNextBlockFn)(void *source, const void **bytes, size_t *size);

/* Counts the terms in the `size` bytes at `text` and writes one count per
 * entry, in list order, to `counts` (scanner_entryCount of them). Takes no
 * more threads than there are pieces to cut. Returns FAULT_NONE,
 * FAULT_MEMORY when the threads' counters cannot be had (nothing is
 * scanned then), or FAULT_STOPPED. On a fault `counts` holds nothing of
 * use. */
Fault count_memory(const CountOptions *c, const void *text, size_t size,
                   uint64_t *counts);

/* The same over the file at `path`, each thread from the offset where its
 * piece starts. A regular file of 1 MiB or more is mapped and scanned
 * where the page cache holds it; a smaller one, or one that cannot be
 * mapped, is read in blocks of 1 MiB: the file is never copied whole.
 * While a mapping is open, SIGBUS has a handler of this library's: a fault
 * in the mapping, where the file shrank under the count, fails the count
 * as below; any other SIGBUS goes on to the handler set before, or ends
 * the process as it would have. The last mapping to close puts that
 * handler back (unless the program has set another meanwhile).
 * The counts are those of the file as it was opened: one whose size or
 * modification time is no longer what it was when the count ends (it grew,
 * shrank or was written to meanwhile) fails with FAULT_READ and ESTALE, as
 * no count of a text the file never held may pass for one. A file that
 * cannot be read at offsets (a pipe, a terminal), or that says it is empty
 * (as the kernel's own files do), is read through to its end on one
 * thread; a pipe that stays silent never keeps a stop waiting. Returns as
 * count_memory does, or FAULT_OPEN or FAULT_READ with the errno. */
Fault count_file(const CountOptions *c, const char *path, uint64_t *counts);

/* The same over the text of the file at `path` compressed as `format`
 * says, decompressed as it is read, on one thread: as count_file for
 * COMPRESSION_NONE. Data that is not of the format, or that ends before
 * its stream does (an empty file too), fails with FAULT_REFUSED and a
 * DECOMPRESS_ error. */
Fault count_fileAs(const CountOptions *c, const char *path, Compression format,
                   uint64_t *counts);

/* The sum of count_file over the `n` files at `paths`, spread over the
 * threads, each file read by one, and each checked as count_file checks
 * it. On FAULT_OPEN or FAULT_READ, `*failed`
 * is the index of the path that failed. */
Fault count_files(const CountOptions *c, const char *const *paths, size_t n,
                  uint64_t *counts, size_t *failed);

/* The same with file i compressed as `formats[i]` says (null: none is),
 * each file on one thread, as count_fileAs reads it. */
Fault count_filesAs(const CountOptions *c, const char *const *paths,
                    const Compression *formats, size_t n, uint64_t *counts,
                    size_t *failed);

/* The same over the blocks that `next(source, ...)` hands over, on the
 * calling thread: a stream cannot be cut ahead. c->threads is not used.
 * Returns as count_memory does, or FAULT_SOURCE when `next` failed. */
Fault count_blocks(const CountOptions *c, CountNextBlockFn next, void *source,
                   uint64_t *counts);

/* One of many texts for count_each. */
struct CountText {
    const void *bytes;
    size_t size;
};

/* The counts of many texts, a row of (entry, count) pairs per text with
 * the zeros left out, in compressed sparse rows: row i is entries and
 * counts [rowStarts[i], rowStarts[i + 1]), by increasing entry. */
struct CountRows {
    size_t rows;
    size_t *rowStarts;      /* rows + 1 of them */
    uint32_t *entries;      /* rowStarts[rows] of each */
    uint64_t *counts;
};

/* Counts each of the `n` texts at `docs` as a text of its own, the texts
 * spread over the threads, into `out`, which the caller frees with
 * count_freeEach. The cost is the texts' bytes and their occurrences,
 * nothing per entry per text. Returns FAULT_NONE, FAULT_MEMORY or
 * FAULT_STOPPED; on a fault `out` holds nothing. */
Fault count_each(const CountOptions *c, const CountText *docs, size_t n,
                 CountRows *out);

/* Frees what count_each put in `out`, and zeroes it. */
void count_freeEach(CountRows *out);

/* Adds the `n` counts at `from` to those at `into`. Returns false, with
 * `into` unchanged, if a sum would pass 2^64 - 1. */
bool count_add(uint64_t *into, const uint64_t *from, size_t n);

#endif
