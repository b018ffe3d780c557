/*
 * decompress.cpp: each format as a step that turns the input at hand into
 * at most a block of text, and one loop around the steps that reads the
 * file and tells the end of the text from a file that ends too soon.
 */
#include "decompress.h"

#include <bzlib.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <lzma.h>
#include <poll.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

namespace {

constexpr size_t BLOCK = 1 << 20;

/* What a step did. */
enum Step { STEP_OK, STEP_CORRUPT, STEP_MEMORY };

} // namespace

struct Decompressor {
    Compression format;
    int fd;
    unsigned char *in;          /* BLOCK bytes read from the file */
    unsigned char *out;         /* BLOCK bytes of text */
    const unsigned char *inAt;  /* the input not yet taken */
    size_t inLeft;
    bool inEnded;               /* the file has no more bytes */
    bool inStream;              /* a stream has begun and not ended */
    bool anyStream;             /* a stream has begun at all */
    bool outFull;               /* the last step filled the block: more may be held */
    Fault fault;
    z_stream gz;
    bz_stream bz;
    bool bzOpen;
    lzma_stream xz;
    ZSTD_DStream *zs;
};

namespace {

/* A gzip member: inflate, with the gzip header and trailer checked. */
Step
stepGzip(Decompressor *d, size_t *made)
{
    if (!d->inStream && inflateReset(&d->gz) != Z_OK)
        return STEP_CORRUPT;
    d->inStream = true;
    d->gz.next_in = const_cast<unsigned char *>(d->inAt);
    d->gz.avail_in = static_cast<uInt>(d->inLeft);
    d->gz.next_out = d->out;
    d->gz.avail_out = BLOCK;
    int rc = inflate(&d->gz, Z_NO_FLUSH);
    d->inAt = d->gz.next_in;
    d->inLeft = d->gz.avail_in;
    *made = BLOCK - d->gz.avail_out;
    if (rc == Z_STREAM_END)
        d->inStream = false;
    else if (rc == Z_MEM_ERROR)
        return STEP_MEMORY;
    else if (rc != Z_OK && rc != Z_BUF_ERROR)
        return STEP_CORRUPT;
    return STEP_OK;
}

Step
stepBzip2(Decompressor *d, size_t *made)
{
    if (!d->inStream) {
        if (d->bzOpen)
            BZ2_bzDecompressEnd(&d->bz);
        memset(&d->bz, 0, sizeof d->bz);
        d->bzOpen = BZ2_bzDecompressInit(&d->bz, 0, 0) == BZ_OK;
        if (!d->bzOpen)
            return STEP_MEMORY;
    }
    d->inStream = true;
    d->bz.next_in = reinterpret_cast<char *>(const_cast<unsigned char *>(d->inAt));
    d->bz.avail_in = static_cast<unsigned>(d->inLeft);
    d->bz.next_out = reinterpret_cast<char *>(d->out);
    d->bz.avail_out = BLOCK;
    int rc = BZ2_bzDecompress(&d->bz);
    d->inAt = reinterpret_cast<unsigned char *>(d->bz.next_in);
    d->inLeft = d->bz.avail_in;
    *made = BLOCK - d->bz.avail_out;
    if (rc == BZ_STREAM_END)
        d->inStream = false;
    else if (rc == BZ_MEM_ERROR)
        return STEP_MEMORY;
    else if (rc != BZ_OK)
        return STEP_CORRUPT;
    return STEP_OK;
}

/* liblzma reads streams back to back itself, and tells the end of the
 * last one only once it is told that the input has ended. */
Step
stepXz(Decompressor *d, size_t *made)
{
    d->inStream = true;
    d->xz.next_in = d->inAt;
    d->xz.avail_in = d->inLeft;
    d->xz.next_out = d->out;
    d->xz.avail_out = BLOCK;
    lzma_ret rc = lzma_code(&d->xz, d->inEnded ? LZMA_FINISH : LZMA_RUN);
    d->inAt = d->xz.next_in;
    d->inLeft = d->xz.avail_in;
    *made = BLOCK - d->xz.avail_out;
    if (rc == LZMA_STREAM_END)
        d->inStream = false;
    else if (rc == LZMA_MEM_ERROR)
        return STEP_MEMORY;
    else if (rc != LZMA_OK && rc != LZMA_BUF_ERROR)  /* BUF_ERROR: no progress, see the loop */
        return STEP_CORRUPT;
    return STEP_OK;
}

/* libzstd reads frames back to back: a call that returns 0 has ended and
 * flushed one. */
Step
stepZstd(Decompressor *d, size_t *made)
{
    ZSTD_inBuffer in = {d->inAt, d->inLeft, 0};
    ZSTD_outBuffer out = {d->out, BLOCK, 0};
    size_t rc = ZSTD_decompressStream(d->zs, &out, &in);
    d->inAt += in.pos;
    d->inLeft -= in.pos;
    *made = out.pos;
    if (ZSTD_isError(rc))
        return ZSTD_getErrorCode(rc) == ZSTD_error_memory_allocation ? STEP_MEMORY
                                                                      : STEP_CORRUPT;
    d->inStream = rc != 0;
    return STEP_OK;
}

Step
step(Decompressor *d, size_t *made)
{
    switch (d->format) {
    case COMPRESSION_GZIP:
        return stepGzip(d, made);
    case COMPRESSION_BZIP2:
        return stepBzip2(d, made);
    case COMPRESSION_XZ:
        return stepXz(d, made);
    case COMPRESSION_ZSTD:
        return stepZstd(d, made);
    case COMPRESSION_NONE:
        break;
    }
    return STEP_CORRUPT;
}

int
failed(Decompressor *d, Fault f)
{
    d->fault = f;
    return -1;
}

/* Reads the next input from the file. Returns 1, or what
 * decompress_next returns for a read that failed. A pipe is open without
 * blocking, and waited on a tenth of a second at a time, so that a writer
 * that stays silent never keeps a count from seeing it was stopped. */
int
refill(Decompressor *d)
{
    pollfd wait = {d->fd, POLLIN, 0};
    int ready = poll(&wait, 1, 100);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return DECOMPRESS_INTERRUPTED;
    ssize_t n = read(d->fd, d->in, BLOCK);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return DECOMPRESS_INTERRUPTED;
    if (n < 0)
        return failed(d, {FAULT_READ, fault_errno()});
    d->inAt = d->in;
    d->inLeft = static_cast<size_t>(n);
    d->inEnded = n == 0;
    return 1;
}

bool
startFormat(Decompressor *d)
{
    switch (d->format) {
    case COMPRESSION_GZIP:
        /* 15 + 16: the largest window, in a gzip wrapper. */
        return inflateInit2(&d->gz, 15 + 16) == Z_OK;
    case COMPRESSION_XZ:
        d->xz = LZMA_STREAM_INIT;
        return lzma_stream_decoder(&d->xz, UINT64_MAX, LZMA_CONCATENATED) == LZMA_OK;
    case COMPRESSION_ZSTD:
        d->zs = ZSTD_createDStream();
        return d->zs != nullptr && !ZSTD_isError(ZSTD_initDStream(d->zs));
    case COMPRESSION_BZIP2:   /* started at each stream */
        return true;
    case COMPRESSION_NONE:
        break;
    }
    return false;
}

} // namespace

Decompressor *
decompress_start(int fd, Compression format)
{
    Decompressor *d = static_cast<Decompressor *>(calloc(1, sizeof *d));
    if (d == nullptr)
        return nullptr;
    d->format = format;
    d->fd = fd;
    d->in = static_cast<unsigned char *>(malloc(BLOCK));
    d->out = static_cast<unsigned char *>(malloc(BLOCK));
    if (d->in == nullptr || d->out == nullptr || !startFormat(d)) {
        decompress_end(d);
        return nullptr;
    }
    return d;
}

int
decompress_next(Decompressor *d, const void **bytes, size_t *size)
{
    for (;;) {
        if (d->inLeft == 0 && !d->inEnded && !d->outFull) {
            int got = refill(d);
            if (got != 1)
                return got;
        }
        bool held = d->inLeft > 0 || d->outFull;
        /* liblzma is told that the input has ended, so that it ends the
         * last stream; the others have ended theirs at its last byte. */
        bool finishXz = d->format == COMPRESSION_XZ && d->inStream;
        if (!held && d->inEnded && !finishXz) {
            if (d->inStream || !d->anyStream)
                return failed(d, {FAULT_REFUSED, DECOMPRESS_ENDED_EARLY});
            return 0;
        }
        size_t made = 0;
        d->anyStream = true;
        Step s = step(d, &made);
        if (s == STEP_MEMORY)
            return failed(d, {FAULT_MEMORY, 0});
        if (s == STEP_CORRUPT)
            return failed(d, {FAULT_REFUSED, DECOMPRESS_CORRUPT});
        d->outFull = made == BLOCK;
        if (made > 0) {
            *bytes = d->out;
            *size = made;
            return 1;
        }
        if (finishXz && !held && d->inStream)
            return failed(d, {FAULT_REFUSED, DECOMPRESS_ENDED_EARLY});
    }
}

Fault
decompress_fault(const Decompressor *d)
{
    return d->fault;
}

void
decompress_end(Decompressor *d)
{
    if (d == nullptr)
        return;
    switch (d->format) {
    case COMPRESSION_GZIP:
        inflateEnd(&d->gz);
        break;
    case COMPRESSION_BZIP2:
        if (d->bzOpen)
            BZ2_bzDecompressEnd(&d->bz);
        break;
    case COMPRESSION_XZ:
        lzma_end(&d->xz);
        break;
    case COMPRESSION_ZSTD:
        ZSTD_freeDStream(d->zs);
        break;
    case COMPRESSION_NONE:
        break;
    }
    free(d->in);
    free(d->out);
    free(d);
}
