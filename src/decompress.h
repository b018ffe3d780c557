/*
 * decompress.h: the text of a compressed file, handed over in blocks as a
 * count reads it: gzip (zlib), bzip2 (libbz2), xz (liblzma) and zstd
 * (libzstd), each also as several streams back to back, as their tools
 * write and read them. Data that is not of its format, or that ends before
 * its last stream does (an empty file too), is a fault: no count of part
 * of a text may pass for the count of all of it.
 *
 * Failures are returned as a Fault; this code never prints and never
 * exits.
 */
#ifndef TERMCOUNT_DECOMPRESS_H
#define TERMCOUNT_DECOMPRESS_H

#include "fault.h"

#include <cstddef>

enum Compression {
    COMPRESSION_NONE,   /* the file's bytes are the text */
    COMPRESSION_GZIP,
    COMPRESSION_BZIP2,
    COMPRESSION_XZ,
    COMPRESSION_ZSTD,
};

/* The `error` of a FAULT_REFUSED from a Decompressor. */
enum {
    DECOMPRESS_CORRUPT = 1,     /* the data is not of its format, or damaged */
    DECOMPRESS_ENDED_EARLY = 2, /* the file ends inside a stream, or holds none */
};

/* What decompress_next returns when a read was cut short by a signal: the
 * caller may look whether to stop, then call again. */
enum { DECOMPRESS_INTERRUPTED = 2 };

/* A decompression under way; opaque. */
struct Decompressor;

/* Starts decompressing `format` (not COMPRESSION_NONE) from the file open
 * at `fd`, which stays the caller's. Returns null if memory runs out. */
Decompressor *decompress_start(int fd, Compression format);

/* Points `*bytes` at the next block of the text, writes its size and
 * returns 1; returns 0 at the end of the text, DECOMPRESS_INTERRUPTED
 * (nothing handed over), or -1 when it failed, decompress_fault saying
 * why: FAULT_READ with the errno, FAULT_REFUSED, or FAULT_MEMORY. A block
 * stays valid until the next call. */
int decompress_next(Decompressor *d, const void **bytes, size_t *size);

/* Why the last decompress_next returned -1. */
Fault decompress_fault(const Decompressor *d);

/* Ends a decompression and frees it; `d` may be null. */
void decompress_end(Decompressor *d);

#endif
