/*
 * count.cpp: a text cut into pieces, the readers that hand each piece over
 * in blocks, and the threads that scan the pieces with one Scanner.
 */
#include "count.h"
#include "decompress.h"

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

/* A scan is handed at most SLICE bytes between two looks at whether the
 * count should stop: the slowest scan gets through a slice in a few
 * milliseconds, and the looks cost nothing beside it. A file is read in
 * blocks of BLOCK bytes, few enough reads that they cost nothing either. */
constexpr size_t SLICE = 256 << 10;
constexpr size_t BLOCK = 1 << 20;

/* How often the calling thread asks keepGoing. */
constexpr long long POLL_NS = 100'000'000;

/* What a reader returns besides 1 (a block), 0 (the end) and -1 (failed):
 * a signal came while it waited, so the caller may be asked at once. */
constexpr int INTERRUPTED = 2;

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
    std::atomic<bool> stop;         /* once set, every piece ends */
    std::atomic<uint64_t> done;     /* bytes or texts counted so far */
    uint64_t total;                 /* what done runs up to; 0: not known */
    long long nextAsk;              /* when keepGoing is asked next */
    bool stopped;                   /* keepGoing said to stop */
};

void
startShared(Shared *s, const Counting *c, uint64_t total)
{
    s->c = c;
    s->stop.store(false, std::memory_order_relaxed);
    s->done.store(0, std::memory_order_relaxed);
    s->total = total;
    /* Asked first at the first slice: a caller that already wants the
     * count stopped gets it stopped before any work. */
    s->nextAsk = nowNs(CLOCK_MONOTONIC);
    s->stopped = false;
}

/* Asks keepGoing, if it is due or `now`. Only the calling thread asks. */
bool
askToGoOn(Shared *s, bool now = false)
{
    if (s->stopped)
        return false;
    if (s->c->keepGoing == nullptr)
        return true;
    long long t = nowNs(CLOCK_MONOTONIC);
    if (!now && t < s->nextAsk)
        return true;
    s->nextAsk = t + POLL_NS;
    if (s->c->keepGoing(s->c->ctx, s->done.load(std::memory_order_relaxed), s->total))
        return true;
    s->stopped = true;
    s->stop.store(true, std::memory_order_relaxed);
    return false;
}

/*
 * Readers: each hands a piece's text over in blocks, as a NextBlockFn does,
 * and may also return INTERRUPTED. A reader keeps its own fault.
 */
struct Reader {
    int (*next)(Reader *r, const void **bytes, size_t *size);
    Fault fault;
    const unsigned char *p, *end;   /* memory */
    int fd;                         /* a file or a stream */
    off_t offset;                   /* a file: where the next read starts */
    off_t stopAt;                   /* a file: where the piece ends; INT64_MAX: its end */
    unsigned char *buffer;          /* a file or a stream: BLOCK bytes */
    NextBlockFn callerNext;         /* the caller's blocks */
    void *source;
    Decompressor *inflate;          /* a compressed file's text */
};

int
fromMemory(Reader *r, const void **bytes, size_t *size)
{
    *bytes = r->p;
    *size = r->end - r->p;
    r->p = r->end;
    return *size != 0;
}

/* A read that a signal cut short gives the caller a chance to stop, as a
 * pipe may stay silent for ever. */
int
readFailed(Reader *r)
{
    if (errno == EINTR)
        return INTERRUPTED;
    r->fault = {FAULT_READ, fault_errno()};
    return -1;
}

int
fromFileRange(Reader *r, const void **bytes, size_t *size)
{
    if (r->offset >= r->stopAt)
        return 0;
    ssize_t n = pread(r->fd, r->buffer, std::min<off_t>(BLOCK, r->stopAt - r->offset),
                      r->offset);
    if (n < 0)
        return readFailed(r);
    if (n == 0 && r->stopAt != INT64_MAX) {
        /* The end came before the piece's own: the file shrank, and what
         * the pieces read is no text the file ever held. */
        r->fault = {FAULT_READ, EIO};
        return -1;
    }
    r->offset += n;
    *bytes = r->buffer;
    *size = n;
    return n > 0;
}

int
fromStream(Reader *r, const void **bytes, size_t *size)
{
    ssize_t n = read(r->fd, r->buffer, BLOCK);
    if (n < 0)
        return readFailed(r);
    *bytes = r->buffer;
    *size = n;
    return n > 0;
}

int
fromCompressed(Reader *r, const void **bytes, size_t *size)
{
    int got = decompress_next(r->inflate, bytes, size);
    if (got == DECOMPRESS_INTERRUPTED)
        return INTERRUPTED;
    if (got < 0)
        r->fault = decompress_fault(r->inflate);
    return got;
}

int
fromCaller(Reader *r, const void **bytes, size_t *size)
{
    int got = r->callerNext(r->source, bytes, size);
    if (got < 0)
        r->fault = {FAULT_SOURCE, 0};
    return got < 0 ? -1 : got > 0;
}

/* One piece of the text and its scan, on cache lines of its own. */
struct alignas(64) Piece {
    Reader reader;
    Shared *shared;
    uint64_t *visits;           /* scanner_visitCount counters */
    bool onCaller;              /* scanned on the calling thread, which asks keepGoing */
    bool started;               /* runs on a thread of its own */
    pthread_t thread;
};

/* Scans a block in slices, looking between them whether to go on. */
bool
scanBlock(Piece *f, ScanState *st, const unsigned char *p, size_t size)
{
    Shared *s = f->shared;
    while (size > 0) {
        if (s->stop.load(std::memory_order_relaxed) || (f->onCaller && !askToGoOn(s)))
            return false;
        size_t n = std::min(size, SLICE);
        scanner_feed(s->c->scanner, st, p, n, f->visits);
        s->done.fetch_add(n, std::memory_order_relaxed);
        p += n;
        size -= n;
    }
    return true;
}

/* Scans what the piece's reader hands over, as one text. */
void
scanPiece(Piece *f)
{
    Shared *s = f->shared;
    ScanState st;
    scanner_start(s->c->scanner, &st);
    for (;;) {
        const void *bytes = nullptr;
        size_t size = 0;
        int got = f->reader.next(&f->reader, &bytes, &size);
        if (got == INTERRUPTED) {
            if (f->onCaller && !askToGoOn(s, true))
                return;
            continue;
        }
        if (got < 0)
            s->stop.store(true, std::memory_order_relaxed);
        if (got <= 0)
            break;
        if (!scanBlock(f, &st, static_cast<const unsigned char *>(bytes), size))
            return;
    }
    scanner_finish(s->c->scanner, &st, f->visits);
}

void *
runPiece(void *piece)
{
    scanPiece(static_cast<Piece *>(piece));
    return nullptr;
}

/* Waits for a thread, asking keepGoing meanwhile: a stop ends every piece
 * within a slice, so the wait stays short once it is asked for. */
void
join(Shared *s, pthread_t thread)
{
    if (s->c->keepGoing == nullptr) {
        pthread_join(thread, nullptr);
        return;
    }
    for (;;) {
        long long t = nowNs(CLOCK_REALTIME) + POLL_NS;
        timespec deadline = {static_cast<time_t>(t / 1'000'000'000),
                             static_cast<long>(t % 1'000'000'000)};
        if (pthread_timedjoin_np(thread, nullptr, &deadline) == 0)
            return;
        askToGoOn(s);
    }
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
freePieces(Piece *pieces, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        free(pieces[i].visits);
        free(pieces[i].reader.buffer);
    }
    free(pieces);
}

/* Takes `n` pieces with their counters, and read buffers if asked.
 * Returns null if memory ran out. */
Piece *
takePieces(Shared *s, size_t n, bool buffers)
{
    size_t visits = scanner_visitCount(s->c->scanner);
    Piece *pieces = static_cast<Piece *>(ownLines(n * sizeof *pieces));
    if (pieces == nullptr)
        return nullptr;
    for (size_t i = 0; i < n; i++) {
        Piece *f = &pieces[i];
        f->shared = s;
        f->visits = static_cast<uint64_t *>(ownLines(visits * sizeof *f->visits));
        if (buffers)
            f->reader.buffer = static_cast<unsigned char *>(malloc(BLOCK));
        if (f->visits == nullptr || (buffers && f->reader.buffer == nullptr)) {
            freePieces(pieces, i + 1);
            return nullptr;
        }
    }
    return pieces;
}

/* Runs `work` for the `n` pieces, all but the first on threads of their
 * own; a piece whose thread cannot be started runs on the calling thread. */
template <typename P, typename Work>
void
runPieces(Shared *s, P *pieces, size_t n, void *(*onThread)(void *), Work work)
{
    for (size_t i = 1; i < n; i++)
        pieces[i].started = pthread_create(&pieces[i].thread, nullptr, onThread,
                                           &pieces[i]) == 0;
    for (size_t i = 0; i < n; i++)
        if (!pieces[i].started) {
            pieces[i].onCaller = true;
            work(&pieces[i]);
        }
    for (size_t i = 1; i < n; i++)
        if (pieces[i].started)
            join(s, pieces[i].thread);
}

/* Adds the visits of the `n` pieces up, in the first's, and turns them
 * into counts. The pieces visit no more states than the text has bytes and
 * pieces, so the sums cannot overflow. */
template <typename P, typename Visits>
void
addUp(const Scanner *sc, P *pieces, size_t n, Visits visitsOf, uint64_t *counts)
{
    size_t visits = scanner_visitCount(sc);
    uint64_t *into = visitsOf(pieces[0]);
    for (size_t i = 1; i < n; i++)
        for (size_t v = 0; v < visits; v++)
            into[v] += visitsOf(pieces[i])[v];
    scanner_total(sc, into, counts);
}

/* The fault of a count whose pieces have run, or the counts of the text. */
Fault
settle(Shared *s, Piece *pieces, size_t n, uint64_t *counts)
{
    for (size_t i = 0; i < n; i++)
        if (pieces[i].reader.fault.kind != FAULT_NONE)
            return pieces[i].reader.fault;
    if (s->stopped)
        return {FAULT_STOPPED, 0};
    addUp(s->c->scanner, pieces, n, [](Piece &p) { return p.visits; }, counts);
    return {FAULT_NONE, 0};
}

/* Scans the `n` pieces and writes the counts of the whole text. */
Fault
scanPieces(Shared *s, Piece *pieces, size_t n, uint64_t *counts)
{
    runPieces(s, pieces, n, runPiece, scanPiece);
    return settle(s, pieces, n, counts);
}

size_t
piecesWanted(const Counting *c, uint64_t size)
{
    size_t n = c->threads == 0 ? 1 : c->threads;
    if (!scanner_cuttable(c->scanner))
        return 1;
    uint64_t most = c->minPiece > 1 ? size / c->minPiece : size;
    return std::max<uint64_t>(1, std::min<uint64_t>(n, most));
}

/*
 * Cuts a text of `size` bytes into at most `n` pieces of about equal size,
 * each but the last ending right after a line feed, and writes where each
 * starts to `starts`. `lineFeedIn(from, to)` gives the position of the
 * first line feed in [from, to), `to` if there is none, or -errno if the
 * text cannot be read. A cut looks for its line feed only up to where the
 * next cut would be, a step at a time with keepGoing asked between steps,
 * so a text of few line feeds is not read through before the count may
 * stop. Returns the number of pieces, -errno, or STOPPED_CUTTING.
 */
constexpr int64_t STOPPED_CUTTING = INT64_MIN;
constexpr uint64_t CUT_STEP = 16 << 20;

template <typename F>
int64_t
cut(Shared *s, uint64_t size, size_t n, uint64_t *starts, F lineFeedIn)
{
    int64_t pieces = 1;

    starts[0] = 0;
    for (size_t k = 1; k < n; k++) {
        /* size * k / n without overflow */
        uint64_t at = size / n * k + size % n * k / n;
        uint64_t next = k + 1 < n ? size / n * (k + 1) + size % n * (k + 1) / n : size;
        int64_t lf = next;
        for (uint64_t from = at; from < next && static_cast<uint64_t>(lf) == next;
             from += CUT_STEP) {
            if (!askToGoOn(s))
                return STOPPED_CUTTING;
            lf = lineFeedIn(from, std::min(next, from + CUT_STEP));
            if (lf < 0)
                return lf;
            if (static_cast<uint64_t>(lf) == std::min(next, from + CUT_STEP))
                lf = next;  /* none in this step */
        }
        if (static_cast<uint64_t>(lf) == next || static_cast<uint64_t>(lf) + 1 >= size)
            continue;  /* no line feed before the next cut: this piece goes on */
        starts[pieces++] = lf + 1;
    }
    return pieces;
}

/* Counts a text of `size` bytes in pieces cut by `lineFeedIn` (see cut),
 * each set up by `place(reader, start, end)` and read through a buffer of
 * its own if `buffers`. Counters and buffers are taken for the pieces the
 * text is cut into, not for the threads asked. */
template <typename Find, typename Place>
Fault
countInPieces(const Counting *c, uint64_t size, uint64_t *counts, bool buffers,
              Find lineFeedIn, Place place)
{
    Shared s;
    startShared(&s, c, size);
    size_t wanted = piecesWanted(c, size);
    uint64_t *starts = static_cast<uint64_t *>(calloc(wanted, sizeof *starts));
    if (starts == nullptr)
        return {FAULT_MEMORY, 0};
    int64_t n = cut(&s, size, wanted, starts, lineFeedIn);
    if (n < 0) {
        free(starts);
        return n == STOPPED_CUTTING ? Fault{FAULT_STOPPED, 0}
                                    : Fault{FAULT_READ, static_cast<int>(-n)};
    }
    Piece *pieces = takePieces(&s, n, buffers);
    if (pieces == nullptr) {
        free(starts);
        return {FAULT_MEMORY, 0};
    }
    for (int64_t i = 0; i < n; i++)
        place(&pieces[i].reader, starts[i], i + 1 < n ? starts[i + 1] : size);
    free(starts);
    Fault f = scanPieces(&s, pieces, n, counts);
    freePieces(pieces, n);
    return f;
}

/* Counts what one reader, set up like `proto`, hands over on the calling
 * thread: a stream or blocks. */
Fault
countOnePiece(const Counting *c, const Reader &proto, uint64_t *counts, bool buffer)
{
    Shared s;
    startShared(&s, c, 0);
    Piece *piece = takePieces(&s, 1, buffer);
    if (piece == nullptr)
        return {FAULT_MEMORY, 0};
    unsigned char *own = piece->reader.buffer;
    piece->reader = proto;
    piece->reader.buffer = own;
    Fault f = scanPieces(&s, piece, 1, counts);
    freePieces(piece, 1);
    return f;
}

void
placeFileRange(Reader *r, int fd, uint64_t start, uint64_t end, uint64_t size)
{
    r->next = fromFileRange;
    r->fd = fd;
    r->offset = start;
    /* The last piece reads on to the end of the file, as a run of
     * termcount over it would if it grew meanwhile. */
    r->stopAt = end == size ? INT64_MAX : end;
}

/* Counts a regular file, open at `fd`, of `size` bytes when it was opened. */
Fault
countRegular(const Counting *c, int fd, off_t size, uint64_t *counts)
{
    auto lineFeedIn = [fd](uint64_t from, uint64_t to) -> int64_t {
        unsigned char buf[16 << 10];
        while (from < to) {
            ssize_t got = pread(fd, buf, std::min<uint64_t>(sizeof buf, to - from), from);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return -fault_errno();
            if (got == 0)
                break;
            if (void *lf = memchr(buf, '\n', got))
                return from + (static_cast<unsigned char *>(lf) - buf);
            from += got;
        }
        return to;
    };
    auto place = [fd, size](Reader *r, uint64_t start, uint64_t end) {
        placeFileRange(r, fd, start, end, size);
    };
    return countInPieces(c, size, counts, true, lineFeedIn, place);
}

/* Opens `path` for a count. Returns the descriptor and its status, or a
 * fault. */
Fault
openText(const char *path, int *fd, struct stat *st)
{
    *fd = open(path, O_RDONLY | O_CLOEXEC);
    if (*fd < 0)
        return {FAULT_OPEN, fault_errno()};
    if (fstat(*fd, st) != 0) {
        Fault f = {FAULT_READ, fault_errno()};
        close(*fd);
        return f;
    }
    return {FAULT_NONE, 0};
}

/*
 * count_files: each thread takes the next file there is and scans it whole,
 * into counters it keeps for every file it takes.
 */
struct FileQueue {
    const char *const *paths;
    const Compression *formats;     /* null: none compressed */
    size_t n;
    std::atomic<size_t> next;
};

struct alignas(64) FilePiece {
    Piece piece;
    FileQueue *queue;
    size_t failed;              /* the path whose count failed; n: none */
    bool onCaller;
    bool started;
    pthread_t thread;
};

void
countQueued(FilePiece *fp)
{
    Piece *f = &fp->piece;
    f->onCaller = fp->onCaller;
    for (;;) {
        size_t i = fp->queue->next.fetch_add(1, std::memory_order_relaxed);
        if (i >= fp->queue->n || f->shared->stop.load(std::memory_order_relaxed))
            return;
        int fd;
        struct stat st;
        f->reader.fault = openText(fp->queue->paths[i], &fd, &st);
        Compression format = fp->queue->formats ? fp->queue->formats[i] : COMPRESSION_NONE;
        if (f->reader.fault.kind == FAULT_NONE && format != COMPRESSION_NONE) {
            f->reader.next = fromCompressed;
            f->reader.inflate = decompress_start(fd, format);
            if (f->reader.inflate == nullptr)
                f->reader.fault = {FAULT_MEMORY, 0};
            else
                scanPiece(f);
            decompress_end(f->reader.inflate);
            close(fd);
        } else if (f->reader.fault.kind == FAULT_NONE) {
            f->reader.next = S_ISREG(st.st_mode) ? fromFileRange : fromStream;
            f->reader.fd = fd;
            f->reader.offset = 0;
            f->reader.stopAt = INT64_MAX;
            scanPiece(f);
            close(fd);
        }
        if (f->reader.fault.kind != FAULT_NONE) {
            fp->failed = i;
            f->shared->stop.store(true, std::memory_order_relaxed);
            return;
        }
    }
}

void *
runQueued(void *piece)
{
    countQueued(static_cast<FilePiece *>(piece));
    return nullptr;
}

/* The bytes the regular files among `paths` hold now, for progress. */
uint64_t
bytesIn(const char *const *paths, size_t n)
{
    uint64_t total = 0;
    for (size_t i = 0; i < n; i++) {
        struct stat st;
        if (stat(paths[i], &st) == 0 && S_ISREG(st.st_mode))
            total += st.st_size;
    }
    return total;
}

/*
 * count_each: each thread counts a run of the texts, one at a time, with
 * counters for every entry that it clears after each text through the
 * list of those it touched, so a text costs its bytes and its hits only.
 */
struct Tally {
    uint64_t *counts;           /* entryCount, all 0 between texts */
    uint32_t *touched;          /* entries counted in this text */
    size_t touchedCount;
};

void
tallyHit(void *ctx, size_t index)
{
    Tally *t = static_cast<Tally *>(ctx);
    if (t->counts[index]++ == 0)
        t->touched[t->touchedCount++] = static_cast<uint32_t>(index);
}

struct alignas(64) EachPiece {
    Shared *shared;
    const Document *docs;
    size_t first, end;          /* the texts of this piece */
    Tally tally;
    size_t *rowEnds;            /* where each text's row ends in entries */
    uint32_t *entries;
    uint64_t *counts;
    size_t used, room;
    bool failed;                /* memory ran out */
    bool onCaller;
    bool started;
    pthread_t thread;
};

bool
grow(EachPiece *e, size_t more)
{
    if (e->used + more <= e->room)
        return true;
    size_t room = std::max(e->used + more, 2 * e->room + 64);
    uint32_t *entries = static_cast<uint32_t *>(realloc(e->entries, room * sizeof *entries));
    if (entries != nullptr)
        e->entries = entries;
    uint64_t *counts = static_cast<uint64_t *>(realloc(e->counts, room * sizeof *counts));
    if (counts != nullptr)
        e->counts = counts;
    if (entries == nullptr || counts == nullptr)
        return false;
    e->room = room;
    return true;
}

/* Moves the tally of one text into the piece's rows. */
bool
closeRow(EachPiece *e)
{
    Tally *t = &e->tally;
    std::sort(t->touched, t->touched + t->touchedCount);
    bool room = grow(e, t->touchedCount);
    for (size_t i = 0; i < t->touchedCount; i++) {
        uint32_t entry = t->touched[i];
        if (room) {
            e->entries[e->used] = entry;
            e->counts[e->used++] = t->counts[entry];
        }
        t->counts[entry] = 0;
    }
    t->touchedCount = 0;
    return room;
}

void
countEach(EachPiece *e)
{
    Shared *s = e->shared;
    /* Texts may be a few bytes each: the clock and the shared progress are
     * seen once every STRIDE of them. */
    constexpr size_t STRIDE = 64;
    for (size_t i = e->first; i < e->end; i++) {
        if ((i - e->first) % STRIDE == 0) {
            if (i != e->first)
                s->done.fetch_add(STRIDE, std::memory_order_relaxed);
            if (s->stop.load(std::memory_order_relaxed) || (e->onCaller && !askToGoOn(s)))
                return;
        }
        scanner_matches(s->c->scanner, e->docs[i].bytes, e->docs[i].size, tallyHit,
                        &e->tally);
        if (!closeRow(e)) {
            e->failed = true;
            s->stop.store(true, std::memory_order_relaxed);
            return;
        }
        e->rowEnds[i - e->first] = e->used;
    }
}

void *
runEach(void *piece)
{
    countEach(static_cast<EachPiece *>(piece));
    return nullptr;
}

void
freeEachPieces(EachPiece *pieces, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        free(pieces[i].tally.counts);
        free(pieces[i].tally.touched);
        free(pieces[i].rowEnds);
        free(pieces[i].entries);
        free(pieces[i].counts);
    }
    free(pieces);
}

/* Splits the texts into `n` runs of about equal bytes, and takes each
 * run's tally. Returns null if memory ran out. */
EachPiece *
takeEachPieces(Shared *s, const Document *docs, size_t count, size_t n)
{
    size_t entries = scanner_entryCount(s->c->scanner);
    EachPiece *pieces = static_cast<EachPiece *>(ownLines(n * sizeof *pieces));
    if (pieces == nullptr)
        return nullptr;
    uint64_t bytes = 0;
    for (size_t i = 0; i < count; i++)
        bytes += docs[i].size + 1;
    uint64_t sum = 0;
    size_t at = 0;
    for (size_t k = 0; k < n; k++) {
        EachPiece *e = &pieces[k];
        e->shared = s;
        e->docs = docs;
        e->first = at;
        uint64_t goal = bytes / n * (k + 1) + bytes % n * (k + 1) / n;
        while (at < count && (k + 1 == n || sum < goal))
            sum += docs[at++].size + 1;
        e->end = at;
        e->tally.counts = static_cast<uint64_t *>(calloc(entries + 1, sizeof(uint64_t)));
        e->tally.touched = static_cast<uint32_t *>(malloc((entries + 1) * sizeof(uint32_t)));
        e->rowEnds = static_cast<size_t *>(malloc((e->end - e->first + 1) * sizeof(size_t)));
        if (!e->tally.counts || !e->tally.touched || !e->rowEnds) {
            freeEachPieces(pieces, k + 1);
            return nullptr;
        }
    }
    return pieces;
}

/* Joins the pieces' rows into one set of compressed sparse rows. */
bool
joinRows(const EachPiece *pieces, size_t n, size_t rows, EachCounts *out)
{
    size_t nonzero = 0;
    for (size_t k = 0; k < n; k++)
        nonzero += pieces[k].used;
    out->rows = rows;
    out->rowStarts = static_cast<size_t *>(malloc((rows + 1) * sizeof(size_t)));
    out->entries = static_cast<uint32_t *>(malloc((nonzero ? nonzero : 1) * sizeof(uint32_t)));
    out->counts = static_cast<uint64_t *>(malloc((nonzero ? nonzero : 1) * sizeof(uint64_t)));
    if (!out->rowStarts || !out->entries || !out->counts) {
        count_freeEach(out);
        return false;
    }
    size_t base = 0;
    out->rowStarts[0] = 0;
    for (size_t k = 0; k < n; k++) {
        const EachPiece *e = &pieces[k];
        for (size_t i = e->first; i < e->end; i++)
            out->rowStarts[i + 1] = base + e->rowEnds[i - e->first];
        if (e->used != 0) {
            memcpy(out->entries + base, e->entries, e->used * sizeof(uint32_t));
            memcpy(out->counts + base, e->counts, e->used * sizeof(uint64_t));
        }
        base += e->used;
    }
    return true;
}


} // namespace

Fault
count_memory(const Counting *c, const void *text, size_t size, uint64_t *counts)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(text);
    auto lineFeedIn = [bytes](uint64_t from, uint64_t to) -> int64_t {
        const void *lf = memchr(bytes + from, '\n', to - from);
        return lf ? static_cast<const unsigned char *>(lf) - bytes : static_cast<int64_t>(to);
    };
    auto place = [bytes](Reader *r, uint64_t start, uint64_t end) {
        r->next = fromMemory;
        r->p = bytes + start;
        r->end = bytes + end;
    };
    return countInPieces(c, size, counts, false, lineFeedIn, place);
}

Fault
count_file(const Counting *c, const char *path, uint64_t *counts)
{
    return count_fileAs(c, path, COMPRESSION_NONE, counts);
}

Fault
count_fileAs(const Counting *c, const char *path, Compression format, uint64_t *counts)
{
    int fd;
    struct stat st;
    Fault f = openText(path, &fd, &st);
    if (f.kind != FAULT_NONE)
        return f;
    if (format != COMPRESSION_NONE) {
        Reader proto = {};
        proto.next = fromCompressed;
        proto.inflate = decompress_start(fd, format);
        f = proto.inflate ? countOnePiece(c, proto, counts, false) : Fault{FAULT_MEMORY, 0};
        decompress_end(proto.inflate);
    } else if (S_ISREG(st.st_mode)) {
        f = countRegular(c, fd, st.st_size, counts);
    } else {
        Reader proto = {};
        proto.next = fromStream;
        proto.fd = fd;
        f = countOnePiece(c, proto, counts, true);
    }
    close(fd);
    return f;
}

Fault
count_blocks(const Counting *c, NextBlockFn next, void *source, uint64_t *counts)
{
    Reader proto = {};
    proto.next = fromCaller;
    proto.callerNext = next;
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

Fault
count_files(const Counting *c, const char *const *paths, size_t n, uint64_t *counts,
            size_t *failed)
{
    return count_filesAs(c, paths, nullptr, n, counts, failed);
}

Fault
count_filesAs(const Counting *c, const char *const *paths, const Compression *formats,
              size_t n, uint64_t *counts, size_t *failed)
{
    Shared s;
    /* A compressed file's text has no size ahead. */
    bool sized = formats == nullptr ||
                 std::all_of(formats, formats + n, [](Compression f) { return f == COMPRESSION_NONE; });
    startShared(&s, c, sized ? bytesIn(paths, n) : 0);
    FileQueue queue = {paths, formats, n, {0}};
    size_t threads = std::max<size_t>(1, std::min<size_t>(c->threads ? c->threads : 1, n));
    FilePiece *pieces = static_cast<FilePiece *>(ownLines(threads * sizeof *pieces));
    bool taken = pieces != nullptr;
    for (size_t i = 0; taken && i < threads; i++) {
        FilePiece *fp = &pieces[i];
        fp->queue = &queue;
        fp->failed = n;
        fp->piece.shared = &s;
        fp->piece.visits = static_cast<uint64_t *>(
            ownLines(scanner_visitCount(c->scanner) * sizeof(uint64_t)));
        fp->piece.reader.buffer = static_cast<unsigned char *>(malloc(BLOCK));
        taken = fp->piece.visits && fp->piece.reader.buffer;
    }
    Fault f = {FAULT_MEMORY, 0};
    if (taken) {
        runPieces(&s, pieces, threads, runQueued, countQueued);
        f = {FAULT_NONE, 0};
        for (size_t i = 0; i < threads; i++)
            if (pieces[i].failed < n && (f.kind == FAULT_NONE || pieces[i].failed < *failed)) {
                f = pieces[i].piece.reader.fault;
                *failed = pieces[i].failed;
            }
        if (f.kind == FAULT_NONE && s.stopped)
            f = {FAULT_STOPPED, 0};
        if (f.kind == FAULT_NONE)
            addUp(c->scanner, pieces, threads, [](FilePiece &p) { return p.piece.visits; },
                  counts);
    }
    for (size_t i = 0; pieces != nullptr && i < threads; i++) {
        free(pieces[i].piece.visits);
        free(pieces[i].piece.reader.buffer);
    }
    free(pieces);
    return f;
}

Fault
count_each(const Counting *c, const Document *docs, size_t n, EachCounts *out)
{
    *out = {};
    Shared s;
    startShared(&s, c, n);
    size_t threads = std::max<size_t>(1, std::min<size_t>(c->threads ? c->threads : 1, n));
    EachPiece *pieces = takeEachPieces(&s, docs, n, threads);
    if (pieces == nullptr)
        return {FAULT_MEMORY, 0};
    runPieces(&s, pieces, threads, runEach, countEach);
    Fault f = {FAULT_NONE, 0};
    for (size_t k = 0; k < threads; k++)
        if (pieces[k].failed)
            f = {FAULT_MEMORY, 0};
    if (f.kind == FAULT_NONE && s.stopped)
        f = {FAULT_STOPPED, 0};
    if (f.kind == FAULT_NONE && !joinRows(pieces, threads, n, out))
        f = {FAULT_MEMORY, 0};
    freeEachPieces(pieces, threads);
    return f;
}

void
count_freeEach(EachCounts *out)
{
    free(out->rowStarts);
    free(out->entries);
    free(out->counts);
    *out = {};
}
