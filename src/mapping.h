/*
 * mapping.h: a regular file's bytes mapped into memory for a count, which
 * then scans them where the page cache holds them, with no copy, and a
 * guard around the scan of a mapping.
 *
 * A mapped file that shrinks under the scan takes pages away from it: a
 * read of one raises SIGBUS, which would end the process. While a
 * mapping is open, a handler of ours takes SIGBUS: a fault in a guarded
 * mapping, on the thread that guards it, ends the guarded call instead,
 * which then returns false; any other SIGBUS goes on to the handler there
 * was before, or to the default action. The last mapping to close puts
 * that handler back, unless another has been set meanwhile. Private to
 * the count.
 */
#ifndef TERMCOUNT_MAPPING_H
#define TERMCOUNT_MAPPING_H

#include <cstddef>

struct Mapping {
    const unsigned char *bytes; /* null: not mapped */
    size_t size;
};

/* Maps the `size` bytes of the regular file open at `fd` for reading in
 * order, into `*m`. Returns false, with nothing mapped, where the file
 * cannot be mapped: the caller reads it instead. */
bool mapping_open(int fd, size_t size, Mapping *m);

/* Unmaps what mapping_open mapped; a mapping of nothing is left alone. */
void mapping_close(Mapping *m);

/* Calls fn(ctx) with the reads of `*m`'s bytes guarded. Returns false if
 * one of them faulted, which cut fn short: fn must hold nothing then that
 * needs to be let go, no lock, memory or destructor of its own. */
bool mapping_guard(const Mapping *m, void (*fn)(void *ctx), void *ctx);

#endif
