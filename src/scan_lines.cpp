/*
 * scan_lines.cpp: mode line without an automaton, where no term holds a
 * line feed: a line counts if it equals a term. A line that the scan sees
 * whole is looked up in a hash of the terms. A line that a block boundary
 * cuts is followed through the terms in sorted order instead, its first
 * bytes narrowing the range of terms that begin with them, so that what a
 * scan carries from block to block is that range and the line's length so
 * far. The counters are then one per distinct term.
 */
#include "scan_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

/* The eight bytes at `p`, or the `n` there are if fewer, with 0x20 set in
 * each if case is folded, so that a lower and an upper-case letter are one. */
inline uint64_t
word8(const unsigned char *p, size_t n, uint64_t fold)
{
    uint64_t w = 0;
    if (n >= 8)
        memcpy(&w, p, 8);
    else if (n > 0)
        memcpy(&w, p, n), fold >>= 8 * (8 - n);
    return w | (n > 0 ? fold : 0);
}

/* A hash of a line. The quick one takes its length and its first and last
 * eight bytes only, so that a line costs the same to look up whatever its
 * length; where the terms are too often alike there (see listLines), every
 * byte goes into it. */
inline uint64_t
lineHash(const Scanner *sc, const unsigned char *p, size_t n)
{
    uint64_t h = n * 0x9e3779b97f4a7c15u;
    if (!sc->lineWhole) {
        h = (h ^ word8(p, n, sc->lineFold)) * 0xbf58476d1ce4e5b9u;
        h = (h ^ (h >> 29) ^ word8(p + (n > 8 ? n - 8 : 0), n, sc->lineFold)) * 0x94d049bb133111ebu;
        return h ^ (h >> 32);
    }
    for (; n >= 8; p += 8, n -= 8) {
        h = (h ^ word8(p, 8, sc->lineFold)) * 0xbf58476d1ce4e5b9u;
        h ^= h >> 29;
    }
    h = (h ^ word8(p, n, sc->lineFold)) * 0x94d049bb133111ebu;
    return h ^ (h >> 32);
}

bool
sameLine(const Scanner *sc, const unsigned char *line, const unsigned char *term, size_t n)
{
    if (sc->lineFold == 0)
        return memcmp(line, term, n) == 0;
    for (size_t i = 0; i < n; i++)
        if (fold(line[i]) != term[i])
            return false;
    return true;
}

/* The term that a whole line equals, or NONE. */
inline uint32_t
lineTerm(const Scanner *sc, const unsigned char *line, size_t n)
{
    if (n == 0 || n > sc->longestLine)
        return NONE;
    uint64_t h = lineHash(sc, line, n);
    for (uint64_t i = h & sc->lineMask;; i = (i + 1) & sc->lineMask) {
        uint64_t slot = sc->lineSlots[i];
        if (slot == 0)
            return NONE;
        if (slot >> 32 != h >> 32)
            continue;
        uint32_t t = static_cast<uint32_t>(slot) - 1;
        const LineTerm &term = sc->lines[t];
        if (term.length == n && sameLine(sc, line, sc->lineBytes + term.at, n))
            return t;
    }
}

/* The byte of term `t` after its first `depth`, as the scan compares it;
 * -1 for a term of `depth` bytes, which sorts before those going on. */
inline int
byteAt(const Scanner *sc, uint32_t t, size_t depth)
{
    const LineTerm &term = sc->lines[t];
    return term.length > depth ? sc->lineBytes[term.at + depth] : -1;
}

/* The first of the terms [lo, hi), which begin alike for `depth` bytes,
 * whose next byte is not below `b`. */
uint32_t
firstFrom(const Scanner *sc, uint32_t lo, uint32_t hi, size_t depth, int b)
{
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (byteAt(sc, mid, depth) < b)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

/* Follows a line cut by a block boundary through the `n` bytes at `p`,
 * none a line feed: narrows the range of terms that begin with the line
 * so far, one byte at a time while more than one term is left, and
 * compares the rest at once when one is. */
void
extendLine(const Scanner *sc, ScanState *st, const unsigned char *p, size_t n)
{
    uint32_t lo = st->at, hi = st->end;
    size_t depth = st->depth;
    for (size_t i = 0; i < n && lo < hi; i++, depth++) {
        if (hi - lo == 1) {
            const LineTerm &term = sc->lines[lo];
            size_t rest = n - i;
            if (term.length < depth + rest ||
                !sameLine(sc, p + i, sc->lineBytes + term.at + depth, rest))
                lo = hi;
            depth += rest;
            break;
        }
        int b = sc->lineFold ? fold(p[i]) : p[i];
        lo = firstFrom(sc, lo, hi, depth, b);
        hi = firstFrom(sc, lo, hi, depth, b + 1);
    }
    if (lo >= hi && n > 0) {
        lo = hi = 0;
        depth = 1;  /* a line no term begins, and not at its start */
    }
    st->at = lo;
    st->end = hi;
    st->depth = depth;
}

/* Whether more than a few of the terms hash alike by their ends alone:
 * a line with those ends would be compared with each of them, so that its
 * cost would grow with the list. */
bool
alikeAtEnds(const Scanner *sc, uint64_t *hashes)
{
    for (uint32_t t = 0; t < sc->lineTerms; t++)
        hashes[t] = lineHash(sc, sc->lineBytes + sc->lines[t].at, sc->lines[t].length);
    std::sort(hashes, hashes + sc->lineTerms);
    for (uint32_t t = 4; t < sc->lineTerms; t++)
        if (hashes[t] == hashes[t - 4])
            return true;
    return false;
}

} // namespace

void
endLine(const Scanner *sc, ScanState *st, uint64_t *visits)
{
    if (st->at < st->end && sc->lines[st->at].length == st->depth)
        visits[st->at]++;
    st->at = 0;
    st->end = sc->lineTerms;
    st->depth = 0;
}

/* Mode line through the lookup: the line that an earlier block began is
 * followed to its end, each whole line is looked up, and the line the
 * block leaves unfinished is followed as far as it goes. */
void
feedLines(const Scanner *sc, ScanState *st, const unsigned char *p, size_t size,
          uint64_t *visits)
{
    const unsigned char *end = p + size;
    if (st->depth > 0) {
        const unsigned char *lf = static_cast<const unsigned char *>(memchr(p, '\n', size));
        extendLine(sc, st, p, (lf ? lf : end) - p);
        if (lf == nullptr)
            return;
        endLine(sc, st, visits);
        p = lf + 1;
    }
    for (;;) {
        const unsigned char *lf = static_cast<const unsigned char *>(memchr(p, '\n', end - p));
        if (lf == nullptr)
            break;
        uint32_t t = lineTerm(sc, p, lf - p);
        if (t != NONE)
            visits[t]++;
        p = lf + 1;
    }
    extendLine(sc, st, p, end - p);
}
/* The line lookup of the sorted terms: each distinct term once, counting
 * for the last of its equals, and the hash of them. Returns false if
 * memory ran out. */
bool
listLines(Scanner *sc, const Entered *t, size_t n)
{
    size_t bytes = 0;
    for (size_t i = 0; i < n; i++)
        bytes += t[i].length;
    uint64_t slots = 16;
    while (slots < 2 * n)
        slots *= 2;
    sc->lineMask = slots - 1;
    sc->lineSlots = static_cast<uint64_t *>(calloc(slots, sizeof *sc->lineSlots));
    sc->lines = static_cast<LineTerm *>(malloc((n + 1) * sizeof *sc->lines));
    sc->lineBytes = static_cast<unsigned char *>(malloc(bytes + 1));
    if (!sc->lineSlots || !sc->lines || !sc->lineBytes)
        return false;
    for (size_t i = 0; i < n; i++) {
        if (i > 0 && t[i - 1].length == t[i].length && sharedPrefix(t, i) == t[i].length) {
            LineTerm &last = sc->lines[sc->lineTerms - 1];
            last.entry = std::max(last.entry, t[i].entry);
            continue;
        }
        sc->lines[sc->lineTerms++] = {sc->lineByteCount, t[i].length, t[i].entry};
        memcpy(sc->lineBytes + sc->lineByteCount, t[i].bytes, t[i].length);
        sc->lineByteCount += t[i].length;
        sc->longestLine = std::max(sc->longestLine, t[i].length);
    }
    /* The slots, empty still, hold the hashes for the look. */
    sc->lineWhole = alikeAtEnds(sc, sc->lineSlots);
    std::fill(sc->lineSlots, sc->lineSlots + slots, 0);
    for (uint32_t id = 0; id < sc->lineTerms; id++) {
        uint64_t h = lineHash(sc, sc->lineBytes + sc->lines[id].at, sc->lines[id].length);
        uint64_t i = h & sc->lineMask;
        while (sc->lineSlots[i] != 0)
            i = (i + 1) & sc->lineMask;
        sc->lineSlots[i] = (h >> 32 << 32) | (id + 1);
    }
    return true;
}

void
matchLines(const Scanner *sc, const unsigned char *p, size_t size, ScanHitFn hit,
           void *ctx)
{
    for (const unsigned char *end = p + size;;) {
        const unsigned char *lf = static_cast<const unsigned char *>(memchr(p, '\n', end - p));
        uint32_t t = lineTerm(sc, p, (lf ? lf : end) - p);
        if (t != NONE)
            hit(ctx, sc->lines[t].entry);
        if (lf == nullptr)
            return;
        p = lf + 1;
    }
}
