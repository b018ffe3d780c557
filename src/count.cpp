/*
 * count.cpp: a text cut into pieces, the getter that feeds each piece to a
 * search in slices, and the threads that scan the pieces.
 */
#include "count.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* A search is handed at most SLICE bytes between two looks at whether the
 * count should stop: even the slowest scan, a thousand steps from every
 * byte, gets through a slice in a fraction of a second, and the looks cost
 * nothing beside the scan. A file is read in blocks of BLOCK bytes, few
 * enough reads that they cost nothing either. */
constexpr size_t SLICE = 64 << 10;
constexpr size_t BLOCK = 1 << 20;

/* How often the calling thread asks keepGoing. */
constexpr long long POLL_NS = 100'000'000;

int
lastError()
{
    return errno != 0 ? errno : EIO;
}

long long
nowNs(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

/* What the pieces of one count share. */
struct Shared {
    const Counting *c;
    std::atomic<bool> stop;     /* once set, every getter ends its input */
    long long nextAsk;          /* when keepGoing is asked next */
    bool stopped;               /* keepGoing said to stop */
};

enum class From { Memory, File, Stream, Blocks };

/* One piece of the text, the getter's state over it and its scan; on cache
 * lines of its own, as its getter writes it at every byte. */
struct alignas(64) Piece {
    const unsigned char *p;     /* next byte for the search */
    const unsigned char *end;   /* end of the slice the search is reading */
    const unsigned char *rest;  /* what is left of the block after the slice */
    const unsigned char *restEnd;
    Shared *shared;
    bool onCaller;              /* scanned on the calling thread, which asks keepGoing */
    Fault fault;                /* why this piece failed */

    From from;
    int fd;                     /* File, Stream */
    off_t offset;               /* File: where the next read starts */
    off_t stopAt;               /* File: where the piece ends */
    unsigned char *buffer;      /* File, Stream: BLOCK bytes */
    NextBlockFn next;           /* Blocks */
    void *source;               /* Blocks */

    TreeScratch scratch;
    uint64_t *counts;           /* entryCount counters */
    pthread_t thread;
    bool started;               /* runs on a thread of its own */
};

/* Asks keepGoing, if it is due. Only the calling thread asks. */
bool
askToGoOn(Shared *s)
{
    if (s->stopped)
        return false;
    if (s->c->keepGoing == nullptr)
        return true;
    long long t = nowNs(CLOCK_MONOTONIC);
    if (t < s->nextAsk)
        return true;
    s->nextAsk = t + POLL_NS;
    if (s->c->keepGoing(s->c->ctx))
        return true;
    s->stopped = true;
    s->stop.store(true, std::memory_order_relaxed);
    return false;
}

/* Reads the next block of a piece into rest..restEnd. Returns 1, 0 at the
 * piece's end, or -1 with the fault set. */
int
fetch(Piece *f)
{
    if (f->from == From::Memory)
        return 0;
    if (f->from == From::Blocks) {
        const void *bytes = nullptr;
        size_t size = 0;
        int r = f->next(f->source, &bytes, &size);
        if (r < 0) {
            f->fault = {FAULT_SOURCE, 0};
            return -1;
        }
        f->rest = static_cast<const unsigned char *>(bytes);
        f->restEnd = f->rest + (r > 0 ? size : 0);
        return r > 0;
    }
    if (f->from == From::File && f->offset >= f->stopAt)
        return 0;
    ssize_t n;
    do
        n = f->from == From::File
                ? pread(f->fd, f->buffer,
                        std::min<off_t>(BLOCK, f->stopAt - f->offset), f->offset)
                : read(f->fd, f->buffer, BLOCK);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        f->fault = {FAULT_READ, lastError()};
        return -1;
    }
    f->offset += n;
    f->rest = f->buffer;
    f->restEnd = f->buffer + n;
    return n > 0;
}

/* The slow half of pieceGetch: the next slice, once the count may go on. */
int
refill(Piece *f)
{
    for (;;) {
        if (f->shared->stop.load(std::memory_order_relaxed))
            return -1;
        if (f->onCaller && !askToGoOn(f->shared))
            return -1;
        if (f->rest != f->restEnd) {
            size_t n = std::min<size_t>(SLICE, f->restEnd - f->rest);
            f->p = f->rest;
            f->end = f->rest + n;
            f->rest += n;
            return *f->p++;
        }
        int r = fetch(f);
        if (r < 0)
            f->shared->stop.store(true, std::memory_order_relaxed);
        if (r <= 0)
            return -1;
    }
}

/* The getter over a piece; called once per byte. */
int
pieceGetch(void *stream)
{
    Piece *f = static_cast<Piece *>(stream);

    if (f->p != f->end) [[likely]]
        return *f->p++;
    return refill(f);
}

bool
countMatch(void *ctx, size_t index)
{
    static_cast<uint64_t *>(ctx)[index]++;
    return true;
}

void
scanPiece(Piece *f)
{
    const Counting *c = f->shared->c;

    if (!c->search(&f->scratch, f->counts, c->tree, countMatch, f, pieceGetch))
        f->fault = {FAULT_MEMORY, 0};
}

void *
runPiece(void *piece)
{
    scanPiece(static_cast<Piece *>(piece));
    return nullptr;
}

/* Waits for a piece's thread, asking keepGoing meanwhile: a stop ends every
 * piece within a slice, so the wait stays short once it is asked for. */
void
join(Shared *s, Piece *f)
{
    if (s->c->keepGoing == nullptr) {
        pthread_join(f->thread, nullptr);
        return;
    }
    for (;;) {
        long long t = nowNs(CLOCK_REALTIME) + POLL_NS;
        timespec deadline = {static_cast<time_t>(t / 1'000'000'000),
                             static_cast<long>(t % 1'000'000'000)};
        if (pthread_timedjoin_np(f->thread, nullptr, &deadline) == 0)
            return;
        askToGoOn(s);
    }
}

/* A line feed inside a term would let an occurrence span a cut. */
bool
cuttable(const Tree *tree)
{
    size_t count;
    const TreeEntry *e = tree_getEntryList(tree, &count);

    for (size_t i = 0; i < count; i++)
        if (memchr(e[i].text, '\n', e[i].length) != nullptr)
            return false;
    return true;
}

size_t
piecesWanted(const Counting *c)
{
    size_t n = c->threads == 0 ? 1 : c->threads;
    return n > 1 && !cuttable(c->tree) ? 1 : n;
}

/*
 * Cuts a text of `size` bytes into at most `n` pieces of about equal size,
 * each but the last ending right after a line feed, and writes where each
 * starts to `starts`. `lineFeedFrom(from)` gives the position of the first
 * line feed at or after `from`, `size` if there is none, or -errno if the
 * text cannot be read. Returns the number of pieces, or -errno.
 */
template <typename F>
int64_t
cut(uint64_t size, size_t n, uint64_t *starts, F lineFeedFrom)
{
    int64_t pieces = 1;

    starts[0] = 0;
    for (size_t k = 1; k < n; k++) {
        /* size * k / n without overflow */
        uint64_t at = size / n * k + size % n * k / n;
        int64_t lf = lineFeedFrom(std::max(at, starts[pieces - 1]));
        if (lf < 0)
            return lf;
        if (static_cast<uint64_t>(lf) + 1 >= size)
            break;  /* no line feed before the end: the rest stays whole */
        starts[pieces++] = lf + 1;
    }
    return pieces;
}

/* Zeroed memory on cache lines of its own: each thread writes its counters
 * and its piece all the time, and two threads writing one line would pass
 * it back and forth between their cores. */
void *
ownLines(size_t bytes)
{
    bytes = (bytes + 63) & ~size_t{63};
    void *p = aligned_alloc(64, bytes ? bytes : 64);
    if (p != nullptr)
        memset(p, 0, bytes);
    return p;
}

void
freePieces(Piece *pieces, size_t n, const uint64_t *callers)
{
    for (size_t i = 0; i < n; i++) {
        tree_releaseScratch(&pieces[i].scratch);
        if (pieces[i].counts != callers)
            free(pieces[i].counts);
        free(pieces[i].buffer);
    }
    free(pieces);
}

/* Takes `n` pieces with their windows, counters (the first piece counts into
 * the caller's), and read buffers if asked. Returns null if memory ran out. */
Piece *
takePieces(Shared *s, size_t n, uint64_t *counts, bool buffers)
{
    size_t entries;
    tree_getEntryList(s->c->tree, &entries);
    Piece *pieces = static_cast<Piece *>(ownLines(n * sizeof *pieces));
    if (pieces == nullptr)
        return nullptr;
    if (entries != 0)  /* with no entries, `counts` may be null */
        memset(counts, 0, entries * sizeof *counts);
    for (size_t i = 0; i < n; i++) {
        Piece *f = &pieces[i];
        f->shared = s;
        f->counts = i == 0 ? counts
                           : static_cast<uint64_t *>(ownLines(entries * sizeof *counts));
        if (buffers)
            f->buffer = static_cast<unsigned char *>(malloc(BLOCK));
        if ((i != 0 && f->counts == nullptr) || (buffers && f->buffer == nullptr) ||
            !tree_prepareScratch(&f->scratch, s->c->tree)) {
            freePieces(pieces, i + 1, counts);
            return nullptr;
        }
    }
    return pieces;
}

/* Scans the `n` pieces, all but the first on threads of their own, and adds
 * their counts to the first piece's. A piece whose thread cannot be started
 * is scanned on the calling thread. */
Fault
scanPieces(Shared *s, Piece *pieces, size_t n)
{
    for (size_t i = 1; i < n; i++)
        pieces[i].started = pthread_create(&pieces[i].thread, nullptr,
                                           runPiece, &pieces[i]) == 0;
    for (size_t i = 0; i < n; i++)
        if (!pieces[i].started) {
            pieces[i].onCaller = true;
            scanPiece(&pieces[i]);
        }
    for (size_t i = 1; i < n; i++)
        if (pieces[i].started)
            join(s, &pieces[i]);

    for (size_t i = 0; i < n; i++)
        if (pieces[i].fault.kind != FAULT_NONE)
            return pieces[i].fault;
    if (s->stopped)
        return {FAULT_STOPPED, 0};
    size_t entries;
    tree_getEntryList(s->c->tree, &entries);
    /* The pieces hold no more occurrences than the text has bytes, so the
     * sums cannot overflow. */
    for (size_t i = 1; i < n; i++)
        for (size_t e = 0; e < entries; e++)
            pieces[0].counts[e] += pieces[i].counts[e];
    return {FAULT_NONE, 0};
}

void
startShared(Shared *s, const Counting *c)
{
    s->c = c;
    s->stop.store(false, std::memory_order_relaxed);
    s->nextAsk = nowNs(CLOCK_MONOTONIC) + POLL_NS;
    s->stopped = false;
}

/* Counts a text of `size` bytes in pieces cut by `lineFeedFrom` (see cut),
 * each set up by `place(piece, start, end)` and read through a buffer of its
 * own if `buffers`. */
template <typename Find, typename Place>
Fault
countInPieces(const Counting *c, uint64_t size, uint64_t *counts,
              bool buffers, Find lineFeedFrom, Place place)
{
    Shared s;
    startShared(&s, c);
    size_t n = piecesWanted(c);
    uint64_t *starts = static_cast<uint64_t *>(calloc(n, sizeof *starts));
    Piece *pieces = starts ? takePieces(&s, n, counts, buffers) : nullptr;
    if (pieces == nullptr) {
        free(starts);
        return {FAULT_MEMORY, 0};
    }
    int64_t cuts = cut(size, n, starts, lineFeedFrom);
    Fault f = {FAULT_READ, static_cast<int>(-cuts)};
    if (cuts > 0) {
        for (int64_t i = 0; i < cuts; i++)
            place(&pieces[i], starts[i], i + 1 < cuts ? starts[i + 1] : size);
        f = scanPieces(&s, pieces, cuts);
    }
    freePieces(pieces, n, counts);
    free(starts);
    return f;
}

/* Counts what one piece, set up like `proto`, reads: a stream or blocks. */
Fault
countOnePiece(const Counting *c, const Piece &proto, uint64_t *counts,
              bool buffer)
{
    Shared s;
    startShared(&s, c);
    Piece *piece = takePieces(&s, 1, counts, buffer);
    if (piece == nullptr)
        return {FAULT_MEMORY, 0};
    piece->from = proto.from;
    piece->fd = proto.fd;
    piece->next = proto.next;
    piece->source = proto.source;
    Fault f = scanPieces(&s, piece, 1);
    freePieces(piece, 1, counts);
    return f;
}

/* Counts a regular file, open at `fd`, of `size` bytes when it was opened. */
Fault
countRegular(const Counting *c, int fd, off_t size, uint64_t *counts)
{
    auto lineFeedFrom = [fd, size](uint64_t from) -> int64_t {
        unsigned char buf[64 << 10];
        for (;;) {
            ssize_t got = pread(fd, buf, sizeof buf, from);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return -lastError();
            if (got == 0)
                return size;
            if (void *lf = memchr(buf, '\n', got))
                return from + (static_cast<unsigned char *>(lf) - buf);
            from += got;
        }
    };
    auto place = [fd, size](Piece *f, uint64_t start, uint64_t end) {
        f->from = From::File;
        f->fd = fd;
        f->offset = start;
        /* The last piece reads on to the end of the file, as a run of
         * termcount over it would if it grew meanwhile. */
        f->stopAt = end == static_cast<uint64_t>(size) ? INT64_MAX : end;
    };
    return countInPieces(c, size, counts, true, lineFeedFrom, place);
}

} // namespace

Fault
count_memory(const Counting *c, const void *text, size_t size,
             uint64_t *counts)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(text);
    auto lineFeedFrom = [bytes, size](uint64_t from) -> int64_t {
        if (from >= size)
            return size;
        const void *lf = memchr(bytes + from, '\n', size - from);
        return lf ? static_cast<const unsigned char *>(lf) - bytes : size;
    };
    auto place = [bytes](Piece *f, uint64_t start, uint64_t end) {
        f->from = From::Memory;
        f->rest = bytes + start;
        f->restEnd = bytes + end;
    };
    return countInPieces(c, size, counts, false, lineFeedFrom, place);
}

Fault
count_file(const Counting *c, const char *path, uint64_t *counts)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {FAULT_OPEN, lastError()};
    struct stat st;
    Fault f;
    if (fstat(fd, &st) != 0) {
        f = {FAULT_READ, lastError()};
    } else if (S_ISREG(st.st_mode)) {
        f = countRegular(c, fd, st.st_size, counts);
    } else {
        Piece proto = {};
        proto.from = From::Stream;
        proto.fd = fd;
        f = countOnePiece(c, proto, counts, true);
    }
    close(fd);
    return f;
}

Fault
count_blocks(const Counting *c, NextBlockFn next, void *source,
             uint64_t *counts)
{
    Piece proto = {};
    proto.from = From::Blocks;
    proto.next = next;
    proto.source = source;
    return countOnePiece(c, proto, counts, false);
}

bool
count_add(uint64_t *into, const uint64_t *from, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (from[i] > UINT64_MAX - into[i])
            return false;
    for (size_t i = 0; i < n; i++)
        into[i] += from[i];
    return true;
}
