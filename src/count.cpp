/*
 * count.cpp: a text cut into pieces, the readers that hand each piece over
 * in blocks, and the threads that scan the pieces with one Scanner.
 */
#include "count.h"
#include "decompress.h"
#include "mapping.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace {

/* A scan is handed at most SLICE bytes between two looks at whether the
 * count should stop: the slowest scan gets through a slice in a few
 * milliseconds, and the looks cost nothing beside it. A file is read in
 * blocks of BLOCK bytes, few enough reads that they cost nothing either. */
constexpr size_t SLICE = 256 << 10;
constexpr size_t BLOCK = 1 << 20;

/* A regular file of at least MAP_LEAST bytes is mapped, not read: the scan
 * then reads the page cache in place, which costs a third less than a copy
 * of it does. Smaller files cost more to map and unmap than to read. */
constexpr off_t MAP_LEAST = 1 << 20;

/* How often the calling thread asks keepGoing. */
constexpr long long POLL_NS = 100'000'000;

/* What a reader returns besides 1 (a block), 0 (the end) and -1 (failed):
 * it waited for a while, or a signal came, so the count may stop now. */
constexpr int INTERRUPTED = 2;

/* How long a read from a pipe waits before it looks whether to go on: a
 * writer may stay silent for ever, and a stop must not wait for it. */
constexpr int WAIT_MS = 100;

long long
nowNs(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

/* What the pieces of one count share. */
struct Shared {
    const CountOptions *c;
    std::atomic<bool> stop;         /* once set, every piece ends */
    std::atomic<uint64_t> done;     /* bytes or texts counted so far */
    uint64_t total;                 /* what done runs up to; 0: not known */
    long long nextAsk;              /* when keepGoing is asked next */
    bool stopped;                   /* keepGoing said to stop */
};

void
startShared(Shared *s, const CountOptions *c, uint64_t total)
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
 * Readers hand a piece's text over in blocks, as a CountNextBlockFn does, and may
 * also return INTERRUPTED. A reader is this small interface, embedded first
 * in an adapter per kind of source, which keeps what that source needs: a
 * text in memory, a range of a file, a stream, the caller's blocks.
 */
struct Reader {
    int (*next)(Reader *r, const void **bytes, size_t *size);
    Fault fault;                /* why next returned -1 */
};

struct MemoryReader {
    Reader r;
    const unsigned char *p, *end;
};

/* A range of a regular file read at offsets or in its mapping, or a
 * stream read through. */
struct FileReader {
    Reader r;
    int fd;
    off_t offset;               /* a range: where the next read starts */
    off_t stopAt;               /* a range: where it ends */
    unsigned char *buffer;      /* BLOCK bytes */
    const Mapping *mapping;     /* the file's bytes, if mapped; else null */
};

struct CallerReader {
    Reader r;
    CountNextBlockFn next;
    void *source;
};

/* A compressed file's text. */
struct InflateReader {
    Reader r;
    Decompressor *inflate;
};

int
fromMemory(Reader *r, const void **bytes, size_t *size)
{
    MemoryReader *m = reinterpret_cast<MemoryReader *>(r);
    *bytes = m->p;
    *size = m->end - m->p;
    m->p = m->end;
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

/* The end came before the range's own: the file shrank, and what the
 * pieces read is no text the file ever held. */
int
changedUnder(Reader *r)
{
    r->fault = {FAULT_READ, ESTALE};
    return -1;
}

int
fromFileRange(Reader *r, const void **bytes, size_t *size)
{
    FileReader *f = reinterpret_cast<FileReader *>(r);
    if (f->offset >= f->stopAt)
        return 0;
    ssize_t n = pread(f->fd, f->buffer, std::min<off_t>(BLOCK, f->stopAt - f->offset),
                      f->offset);
    if (n < 0)
        return readFailed(r);
    if (n == 0)
        return changedUnder(r);
    f->offset += n;
    *bytes = f->buffer;
    *size = n;
    return 1;
}

/* A mapped range is handed over whole: the scan looks whether to stop
 * between its slices. */
int
fromMapped(Reader *r, const void **bytes, size_t *size)
{
    FileReader *f = reinterpret_cast<FileReader *>(r);
    if (f->offset >= f->stopAt)
        return 0;
    *bytes = f->mapping->bytes + f->offset;
    *size = static_cast<size_t>(f->stopAt - f->offset);
    f->offset = f->stopAt;
    return 1;
}

/* A stream is open without blocking, and waited on WAIT_MS at a time: a
 * pipe with no writer yet, or one that stays silent, must not keep a
 * thread from seeing that the count was stopped. Until a writer first
 * comes, poll() does not report a pipe as readable, so its end is read
 * only once a writer has come and gone, as a blocking open would have it. */
int
fromStream(Reader *r, const void **bytes, size_t *size)
{
    FileReader *f = reinterpret_cast<FileReader *>(r);
    pollfd wait = {f->fd, POLLIN, 0};
    int ready = poll(&wait, 1, WAIT_MS);
    if (ready < 0)
        return readFailed(r);
    if (ready == 0)
        return INTERRUPTED;
    ssize_t n = read(f->fd, f->buffer, BLOCK);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return INTERRUPTED;
    if (n < 0)
        return readFailed(r);
    *bytes = f->buffer;
    *size = n;
    return n > 0;
}

int
fromCompressed(Reader *r, const void **bytes, size_t *size)
{
    InflateReader *d = reinterpret_cast<InflateReader *>(r);
    int got = decompress_next(d->inflate, bytes, size);
    if (got == DECOMPRESS_INTERRUPTED)
        return INTERRUPTED;
    if (got < 0)
        r->fault = decompress_fault(d->inflate);
    return got;
}

int
fromCaller(Reader *r, const void **bytes, size_t *size)
{
    CallerReader *c = reinterpret_cast<CallerReader *>(r);
    int got = c->next(c->source, bytes, size);
    if (got < 0)
        r->fault = {FAULT_SOURCE, 0};
    return got < 0 ? -1 : got > 0;
}

/* Maps the regular file open at `fd`, of status `st`, into `*m` if it is
 * large enough to gain by it; else leaves `*m` as it is, unmapped. */
void
mapLarge(int fd, const struct stat *st, Mapping *m)
{
    if (st->st_size >= MAP_LEAST && static_cast<uintmax_t>(st->st_size) <= SIZE_MAX)
        mapping_open(fd, static_cast<size_t>(st->st_size), m);
}

/* Sets `f` to read [start, end) of the file open at `fd`, from `mapping`
 * if it is mapped (its bytes not null). */
void
setRange(FileReader *f, int fd, off_t start, off_t end, const Mapping *mapping)
{
    bool mapped = mapping->bytes != nullptr;
    f->r = {mapped ? fromMapped : fromFileRange, {FAULT_NONE, 0}};
    f->fd = fd;
    f->offset = start;
    f->stopAt = end;
    f->mapping = mapped ? mapping : nullptr;
}

/*
 * Workers: every count runs its work as workers, one per thread, each with
 * its job (a piece of a text, the queue of files, a run of texts), the
 * counters its scans add up in, and its fault. All but the first run on
 * threads of their own; the first, and any whose thread cannot be started,
 * on the calling thread, which alone asks keepGoing.
 */
struct Worker;
typedef void (*WorkFn)(Worker *w);

struct alignas(64) Worker {
    Shared *shared;
    WorkFn work;
    void *job;                  /* what work is handed */
    uint64_t *visits;           /* scanner_visitCount counters; count_each: null */
    Fault fault;                /* why its work failed */
    size_t failedAt;            /* the file or piece it failed at */
    bool onCaller;              /* works on the calling thread */
    bool started;               /* works on a thread of its own */
    pthread_t thread;
};

void *
trampoline(void *worker)
{
    Worker *w = static_cast<Worker *>(worker);
    w->work(w);
    return nullptr;
}

/* Notes that `w` failed at `at`, and stops the other workers. */
void
fail(Worker *w, Fault f, size_t at)
{
    w->fault = f;
    w->failedAt = at;
    w->shared->stop.store(true, std::memory_order_relaxed);
}

/* Whether a worker should end now: the count was stopped, or, on the
 * calling thread, keepGoing says so (`now`: ask at once). */
bool
stopping(Worker *w, bool now = false)
{
    Shared *s = w->shared;
    return s->stop.load(std::memory_order_relaxed) || (w->onCaller && !askToGoOn(s, now));
}

/* Waits for a thread, asking keepGoing meanwhile: a stop ends every worker
 * within a slice, so the wait stays short once it is asked for. The
 * deadline is on CLOCK_REALTIME, the clock pthread_timedjoin_np measures
 * it by; a step of that clock only makes one wait longer or shorter. */
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
 * and its worker all the time, and two threads writing one line would pass
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
freeWorkers(Worker *workers, size_t n)
{
    for (size_t i = 0; workers != nullptr && i < n; i++)
        free(workers[i].visits);
    free(workers);
}

/* Takes `n` workers doing `work` on the jobs at `jobs` (`jobSize` bytes
 * apart), with counters if `visits`. Returns null if memory ran out. */
Worker *
takeWorkers(Shared *s, size_t n, WorkFn work, void *jobs, size_t jobSize, bool visits)
{
    Worker *workers = static_cast<Worker *>(ownLines(n * sizeof *workers));
    if (workers == nullptr)
        return nullptr;
    size_t counters = scanner_visitCount(s->c->scanner);
    for (size_t i = 0; i < n; i++) {
        Worker *w = &workers[i];
        w->shared = s;
        w->work = work;
        w->job = static_cast<char *>(jobs) + i * jobSize;
        w->failedAt = SIZE_MAX;
        if (visits) {
            w->visits = static_cast<uint64_t *>(ownLines(counters * sizeof *w->visits));
            if (w->visits == nullptr) {
                freeWorkers(workers, i + 1);
                return nullptr;
            }
        }
    }
    return workers;
}

/* Runs the `n` workers, all but the first on threads of their own. */
void
runWorkers(Shared *s, Worker *workers, size_t n)
{
    for (size_t i = 1; i < n; i++)
        workers[i].started = pthread_create(&workers[i].thread, nullptr, trampoline,
                                            &workers[i]) == 0;
    for (size_t i = 0; i < n; i++)
        if (!workers[i].started) {
            workers[i].onCaller = true;
            workers[i].work(&workers[i]);
        }
    for (size_t i = 1; i < n; i++)
        if (workers[i].started)
            join(s, workers[i].thread);
}

/* The fault of a count whose workers have run: the one at the lowest file
 * (or piece), then a stop, then memory that ran out. `*failed`, if asked
 * for, is where the first came. */
Fault
settle(const Shared *s, const Worker *workers, size_t n, size_t *failed)
{
    const Worker *first = nullptr;
    bool memory = false;
    for (size_t i = 0; i < n; i++) {
        const Worker *w = &workers[i];
        if (w->fault.kind == FAULT_MEMORY)
            memory = true;
        else if (w->fault.kind != FAULT_NONE && (!first || w->failedAt < first->failedAt))
            first = w;
    }
    if (first != nullptr) {
        if (failed != nullptr)
            *failed = first->failedAt;
        return first->fault;
    }
    if (s->stopped)
        return {FAULT_STOPPED, 0};
    if (memory)
        return {FAULT_MEMORY, 0};
    return {FAULT_NONE, 0};
}

/* Adds the visits of the `n` workers up, in the first's, and turns them
 * into counts. The workers visit no more states than the text has bytes and
 * pieces, so the sums cannot overflow. */
void
addUp(const Scanner *sc, Worker *workers, size_t n, uint64_t *counts)
{
    size_t visits = scanner_visitCount(sc);
    uint64_t *into = workers[0].visits;
    for (size_t i = 1; i < n; i++)
        for (size_t v = 0; v < visits; v++)
            into[v] += workers[i].visits[v];
    scanner_total(sc, into, counts);
}

/* Runs the workers of a count that scans into counters, settles it, and
 * writes its counts if it did not fail. */
Fault
runAndAddUp(Shared *s, Worker *workers, size_t n, uint64_t *counts, size_t *failed)
{
    runWorkers(s, workers, n);
    Fault f = settle(s, workers, n, failed);
    if (f.kind == FAULT_NONE)
        addUp(s->c->scanner, workers, n, counts);
    return f;
}

/* Scans a block in slices, looking between them whether to go on. */
bool
scanBlock(Worker *w, ScanState *st, const unsigned char *p, size_t size)
{
    Shared *s = w->shared;
    while (size > 0) {
        if (stopping(w))
            return false;
        size_t n = std::min(size, SLICE);
        scanner_feed(s->c->scanner, st, p, n, w->visits);
        s->done.fetch_add(n, std::memory_order_relaxed);
        p += n;
        size -= n;
    }
    return true;
}

/* Scans what `r` hands over, as one text, into the worker's counters.
 * Returns false if it stopped or the reader failed (its fault says which). */
bool
scanText(Worker *w, Reader *r)
{
    const Scanner *sc = w->shared->c->scanner;
    ScanState st;
    scanner_start(sc, &st);
    for (;;) {
        const void *bytes = nullptr;
        size_t size = 0;
        int got = r->next(r, &bytes, &size);
        if (got == INTERRUPTED) {
            if (stopping(w, true))
                return false;
            continue;
        }
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (!scanBlock(w, &st, static_cast<const unsigned char *>(bytes), size))
            return false;
    }
    scanner_finish(sc, &st, w->visits);
    return true;
}

/* scanText over a reader that may hand over a mapping's bytes. A page
 * that cannot be had cuts the scan short: where the file shrank, as its
 * end does when it is read (ESTALE); else the page could not be read
 * (EIO), as a read of it would have failed. */
bool
scanGuarded(Worker *w, Reader *r)
{
    if (r->next != fromMapped)
        return scanText(w, r);
    struct Call {
        Worker *w;
        Reader *r;
        bool scanned;
    } call = {w, r, false};
    auto scan = [](void *ctx) {
        Call *c = static_cast<Call *>(ctx);
        c->scanned = scanText(c->w, c->r);
    };
    FileReader *f = reinterpret_cast<FileReader *>(r);
    if (mapping_guard(f->mapping, scan, &call))
        return call.scanned;
    struct stat now;
    if (fstat(f->fd, &now) == 0 && static_cast<uintmax_t>(now.st_size) < f->mapping->size)
        changedUnder(r);
    else
        r->fault = {FAULT_READ, EIO};
    return false;
}

/* A worker's job in a count of one text: its piece's reader. */
void
scanPiece(Worker *w)
{
    Reader *r = *static_cast<Reader **>(w->job);
    if (!scanGuarded(w, r) && r->fault.kind != FAULT_NONE)
        fail(w, r->fault, 0);  /* the pieces of one text: any fault is the text's */
}

size_t
piecesWanted(const CountOptions *c, uint64_t size)
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

/* The readers of a count in pieces, one per piece, of adapter type R. */
template <typename R>
struct Pieces {
    R *readers;
    Reader **jobs;              /* each worker's job: its reader */
    size_t n;
};

template <typename R>
void
freeReaders(Pieces<R> *p)
{
    if constexpr (std::is_same_v<R, FileReader>)
        for (size_t i = 0; p->readers != nullptr && i < p->n; i++)
            free(p->readers[i].buffer);
    free(p->readers);
    free(p->jobs);
}

/* Takes `n` readers of type R, with a read buffer each if R reads files. */
template <typename R>
bool
takeReaders(Pieces<R> *p, size_t n)
{
    p->n = n;
    p->readers = static_cast<R *>(calloc(n, sizeof(R)));
    p->jobs = static_cast<Reader **>(calloc(n, sizeof(Reader *)));
    if (p->readers == nullptr || p->jobs == nullptr)
        return false;
    for (size_t i = 0; i < n; i++) {
        p->jobs[i] = &p->readers[i].r;
        if constexpr (std::is_same_v<R, FileReader>) {
            p->readers[i].buffer = static_cast<unsigned char *>(malloc(BLOCK));
            if (p->readers[i].buffer == nullptr)
                return false;
        }
    }
    return true;
}

/* Counts what the `n` readers hand over, a piece each, on a worker each. */
template <typename R>
Fault
scanPieces(Shared *s, Pieces<R> *p, uint64_t *counts)
{
    Worker *workers = takeWorkers(s, p->n, scanPiece, p->jobs, sizeof *p->jobs, true);
    if (workers == nullptr)
        return {FAULT_MEMORY, 0};
    Fault f = runAndAddUp(s, workers, p->n, counts, nullptr);
    freeWorkers(workers, p->n);
    return f;
}

/* Counts a text of `size` bytes in pieces cut by `lineFeedIn` (see cut),
 * each read by a reader of type R that `place(reader, start, end)` sets
 * up. Readers and counters are taken for the pieces the text is cut into,
 * not for the threads asked. */
template <typename R, typename Find, typename Place>
Fault
countInPieces(const CountOptions *c, uint64_t size, uint64_t *counts, Find lineFeedIn,
              Place place)
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
    Pieces<R> p = {};
    Fault f = {FAULT_MEMORY, 0};
    if (takeReaders(&p, n)) {
        for (int64_t i = 0; i < n; i++)
            place(&p.readers[i], starts[i], i + 1 < n ? starts[i + 1] : size);
        f = scanPieces(&s, &p, counts);
    }
    free(starts);
    freeReaders(&p);
    return f;
}

/* Counts what one reader hands over on the calling thread: a stream or
 * blocks. */
template <typename R>
Fault
countOnePiece(const CountOptions *c, const R &proto, uint64_t *counts)
{
    Shared s;
    startShared(&s, c, 0);
    Pieces<R> p = {};
    Fault f = {FAULT_MEMORY, 0};
    if (takeReaders(&p, 1)) {
        R *r = &p.readers[0];
        unsigned char *own = nullptr;
        if constexpr (std::is_same_v<R, FileReader>)
            own = r->buffer;
        *r = proto;
        if constexpr (std::is_same_v<R, FileReader>)
            r->buffer = own;
        f = scanPieces(&s, &p, counts);
    }
    freeReaders(&p);
    return f;
}

/* Counts a regular file, open at `fd`, of `size` bytes when it was opened,
 * and mapped as `mapping` if it could be. Every piece reads its own range,
 * the last up to that size: a file that grows meanwhile is no longer the
 * one whose size was planned for, and the check after the count says so. */
Fault
countRegular(const CountOptions *c, int fd, off_t size, const Mapping *mapping, uint64_t *counts)
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
    auto place = [fd, mapping](FileReader *f, uint64_t start, uint64_t end) {
        setRange(f, fd, start, end, mapping);
    };
    return countInPieces<FileReader>(c, size, counts, lineFeedIn, place);
}

/* Whether a file is read in ranges by its size, and checked against what
 * it was when opened: a regular file, but not one that says it is empty,
 * as the kernel's own files do whatever they hold; those are read through
 * as streams. */
bool
readByRanges(const struct stat *st)
{
    return S_ISREG(st->st_mode) && st->st_size > 0;
}

/* Opens `path` for a count. Returns the descriptor and its status, or a
 * fault. A pipe is opened without blocking (see fromStream). */
Fault
openText(const char *path, int *fd, struct stat *st)
{
    *fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (*fd < 0)
        return {FAULT_OPEN, fault_errno()};
    if (fstat(*fd, st) != 0) {
        Fault f = {FAULT_READ, fault_errno()};
        close(*fd);
        return f;
    }
    return {FAULT_NONE, 0};
}

/* After a count of the file at `fd` that `before` described when it was
 * opened: FAULT_READ with ESTALE if its size or its modification time
 * changed meanwhile, as the counts may then mix two texts, neither of
 * which the file held. A rewrite within one tick of the file system's
 * clock, to the same size, cannot be told. */
Fault
checkUnchanged(int fd, const struct stat *before)
{
    struct stat after;
    if (fstat(fd, &after) != 0)
        return {FAULT_READ, fault_errno()};
    if (after.st_size != before->st_size || after.st_mtim.tv_sec != before->st_mtim.tv_sec
        || after.st_mtim.tv_nsec != before->st_mtim.tv_nsec)
        return {FAULT_READ, ESTALE};
    return {FAULT_NONE, 0};
}

/*
 * count_files: each worker takes the next file there is and scans it
 * whole, into counters it keeps for every file it takes.
 */
struct FileQueue {
    const char *const *paths;
    const Compression *formats;     /* null: none compressed */
    size_t n;
    std::atomic<size_t> next;
};

struct QueuedFiles {
    FileQueue *queue;
    FileReader reader;          /* the file it reads now */
};

/* Counts the text of the file open at `fd`, compressed as `format`, into
 * the worker's counters. */
Fault
countInflated(Worker *w, int fd, Compression format)
{
    InflateReader d = {{fromCompressed, {FAULT_NONE, 0}}, decompress_start(fd, format)};
    if (d.inflate == nullptr)
        return {FAULT_MEMORY, 0};
    scanText(w, &d.r);
    decompress_end(d.inflate);
    return d.r.fault;
}

/* Counts the file at `path` whole into the worker's counters, through `f`
 * (whose buffer is set), or its text if it is compressed as `format`. */
Fault
countWhole(Worker *w, FileReader *f, const char *path, Compression format)
{
    int fd;
    struct stat st;
    Fault fault = openText(path, &fd, &st);
    if (fault.kind != FAULT_NONE)
        return fault;
    bool ranges = readByRanges(&st);
    if (format != COMPRESSION_NONE) {
        fault = countInflated(w, fd, format);
        if (fault.kind == FAULT_NONE && ranges && !w->shared->stop.load(std::memory_order_relaxed))
            fault = checkUnchanged(fd, &st);
        close(fd);
        return fault;
    }
    Mapping mapping = {nullptr, 0};
    if (ranges) {
        mapLarge(fd, &st, &mapping);
        setRange(f, fd, 0, st.st_size, &mapping);
    } else {
        f->r = {fromStream, {FAULT_NONE, 0}};
        f->fd = fd;
    }
    if (scanGuarded(w, &f->r) && ranges)
        fault = checkUnchanged(fd, &st);
    else
        fault = f->r.fault;
    mapping_close(&mapping);
    close(fd);
    return fault;
}

void
countQueued(Worker *w)
{
    QueuedFiles *q = static_cast<QueuedFiles *>(w->job);
    for (;;) {
        size_t i = q->queue->next.fetch_add(1, std::memory_order_relaxed);
        if (i >= q->queue->n || w->shared->stop.load(std::memory_order_relaxed))
            return;
        Compression format = q->queue->formats ? q->queue->formats[i] : COMPRESSION_NONE;
        Fault f = countWhole(w, &q->reader, q->queue->paths[i], format);
        if (f.kind != FAULT_NONE) {
            fail(w, f, i);
            return;
        }
    }
}

/* The bytes the regular files among `paths` hold now, for progress. */
uint64_t
bytesIn(const char *const *paths, size_t n)
{
    uint64_t total = 0;
    for (size_t i = 0; i < n; i++) {
        struct stat st;
        if (stat(paths[i], &st) == 0 && readByRanges(&st))
            total += st.st_size;
    }
    return total;
}

/*
 * count_each: each worker counts a run of the texts, one at a time, with
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

struct EachRun {
    const CountText *docs;
    size_t first, end;          /* the texts of this run */
    Tally tally;
    size_t *rowEnds;            /* where each text's row ends in entries */
    uint32_t *entries;
    uint64_t *counts;
    size_t used, room;
};

bool
grow(EachRun *e, size_t more)
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

/* Moves the tally of one text into the run's rows. */
bool
closeRow(EachRun *e)
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
countEach(Worker *w)
{
    EachRun *e = static_cast<EachRun *>(w->job);
    Shared *s = w->shared;
    /* Texts may be a few bytes each: the clock and the shared progress are
     * seen once every STRIDE of them. */
    constexpr size_t STRIDE = 64;
    for (size_t i = e->first; i < e->end; i++) {
        if ((i - e->first) % STRIDE == 0) {
            if (i != e->first)
                s->done.fetch_add(STRIDE, std::memory_order_relaxed);
            if (stopping(w))
                return;
        }
        scanner_matches(s->c->scanner, e->docs[i].bytes, e->docs[i].size, tallyHit,
                        &e->tally);
        if (!closeRow(e)) {
            fail(w, {FAULT_MEMORY, 0}, i);
            return;
        }
        e->rowEnds[i - e->first] = e->used;
    }
}

void
freeRuns(EachRun *runs, size_t n)
{
    for (size_t i = 0; runs != nullptr && i < n; i++) {
        free(runs[i].tally.counts);
        free(runs[i].tally.touched);
        free(runs[i].rowEnds);
        free(runs[i].entries);
        free(runs[i].counts);
    }
    free(runs);
}

/* Splits the texts into `n` runs of about equal bytes, and takes each
 * run's tally. Returns null if memory ran out. */
EachRun *
takeRuns(const Scanner *sc, const CountText *docs, size_t count, size_t n)
{
    size_t entries = scanner_entryCount(sc);
    EachRun *runs = static_cast<EachRun *>(calloc(n, sizeof *runs));
    if (runs == nullptr)
        return nullptr;
    uint64_t bytes = 0;
    for (size_t i = 0; i < count; i++)
        bytes += docs[i].size + 1;
    uint64_t sum = 0;
    size_t at = 0;
    for (size_t k = 0; k < n; k++) {
        EachRun *e = &runs[k];
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
            freeRuns(runs, k + 1);
            return nullptr;
        }
    }
    return runs;
}

/* Joins the runs' rows into one set of compressed sparse rows. */
bool
joinRows(const EachRun *runs, size_t n, size_t rows, CountRows *out)
{
    size_t nonzero = 0;
    for (size_t k = 0; k < n; k++)
        nonzero += runs[k].used;
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
        const EachRun *e = &runs[k];
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

/* The threads a count of `n` files or texts takes. */
size_t
threadsFor(const CountOptions *c, size_t n)
{
    return std::max<size_t>(1, std::min<size_t>(c->threads ? c->threads : 1, n));
}

} // namespace

Fault
count_memory(const CountOptions *c, const void *text, size_t size, uint64_t *counts)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(text);
    auto lineFeedIn = [bytes](uint64_t from, uint64_t to) -> int64_t {
        const void *lf = memchr(bytes + from, '\n', to - from);
        return lf ? static_cast<const unsigned char *>(lf) - bytes : static_cast<int64_t>(to);
    };
    auto place = [bytes](MemoryReader *m, uint64_t start, uint64_t end) {
        m->r = {fromMemory, {FAULT_NONE, 0}};
        m->p = bytes + start;
        m->end = bytes + end;
    };
    return countInPieces<MemoryReader>(c, size, counts, lineFeedIn, place);
}

Fault
count_file(const CountOptions *c, const char *path, uint64_t *counts)
{
    return count_fileAs(c, path, COMPRESSION_NONE, counts);
}

Fault
count_fileAs(const CountOptions *c, const char *path, Compression format, uint64_t *counts)
{
    int fd;
    struct stat st;
    Fault f = openText(path, &fd, &st);
    if (f.kind != FAULT_NONE)
        return f;
    if (format != COMPRESSION_NONE) {
        InflateReader proto = {{fromCompressed, {FAULT_NONE, 0}}, decompress_start(fd, format)};
        f = proto.inflate ? countOnePiece(c, proto, counts) : Fault{FAULT_MEMORY, 0};
        decompress_end(proto.inflate);
        if (f.kind == FAULT_NONE && readByRanges(&st))
            f = checkUnchanged(fd, &st);
    } else if (readByRanges(&st)) {
        Mapping mapping = {nullptr, 0};
        mapLarge(fd, &st, &mapping);
        f = countRegular(c, fd, st.st_size, &mapping, counts);
        mapping_close(&mapping);
        if (f.kind == FAULT_NONE)
            f = checkUnchanged(fd, &st);
    } else {
        FileReader proto = {};
        proto.r = {fromStream, {FAULT_NONE, 0}};
        proto.fd = fd;
        f = countOnePiece(c, proto, counts);
    }
    close(fd);
    return f;
}

Fault
count_blocks(const CountOptions *c, CountNextBlockFn next, void *source, uint64_t *counts)
{
    CallerReader proto = {{fromCaller, {FAULT_NONE, 0}}, next, source};
    return countOnePiece(c, proto, counts);
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
count_files(const CountOptions *c, const char *const *paths, size_t n, uint64_t *counts,
            size_t *failed)
{
    return count_filesAs(c, paths, nullptr, n, counts, failed);
}

Fault
count_filesAs(const CountOptions *c, const char *const *paths, const Compression *formats,
              size_t n, uint64_t *counts, size_t *failed)
{
    Shared s;
    /* A compressed file's text has no size ahead. */
    bool sized = formats == nullptr
                 || std::all_of(formats, formats + n,
                                [](Compression f) { return f == COMPRESSION_NONE; });
    startShared(&s, c, sized ? bytesIn(paths, n) : 0);
    FileQueue queue = {paths, formats, n, {0}};
    size_t threads = threadsFor(c, n);
    QueuedFiles *jobs = static_cast<QueuedFiles *>(calloc(threads, sizeof *jobs));
    bool taken = jobs != nullptr;
    for (size_t i = 0; taken && i < threads; i++) {
        jobs[i].queue = &queue;
        jobs[i].reader.buffer = static_cast<unsigned char *>(malloc(BLOCK));
        taken = jobs[i].reader.buffer != nullptr;
    }
    Worker *workers = taken ? takeWorkers(&s, threads, countQueued, jobs, sizeof *jobs, true)
                            : nullptr;
    Fault f = {FAULT_MEMORY, 0};
    if (workers != nullptr)
        f = runAndAddUp(&s, workers, threads, counts, failed);
    freeWorkers(workers, threads);
    for (size_t i = 0; jobs != nullptr && i < threads; i++)
        free(jobs[i].reader.buffer);
    free(jobs);
    return f;
}

Fault
count_each(const CountOptions *c, const CountText *docs, size_t n, CountRows *out)
{
    *out = {};
    Shared s;
    startShared(&s, c, n);
    size_t threads = threadsFor(c, n);
    EachRun *runs = takeRuns(c->scanner, docs, n, threads);
    Worker *workers = runs ? takeWorkers(&s, threads, countEach, runs, sizeof *runs, false)
                           : nullptr;
    Fault f = {FAULT_MEMORY, 0};
    if (workers != nullptr) {
        runWorkers(&s, workers, threads);
        f = settle(&s, workers, threads, nullptr);
        if (f.kind == FAULT_NONE && !joinRows(runs, threads, n, out))
            f = {FAULT_MEMORY, 0};
    }
    freeWorkers(workers, threads);
    freeRuns(runs, threads);
    return f;
}

void
count_freeEach(CountRows *out)
{
    free(out->rowStarts);
    free(out->entries);
    free(out->counts);
    *out = {};
}
