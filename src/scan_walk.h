/*
 * scan_walk.h: the walks of the compiled scan over a block, for either
 * form of the automaton (scan_automaton.cpp, scan_sparse.cpp), private to
 * them. A walk W has `step(at, byte)`, which adds what the state `at`
 * counts before `byte` and returns the next state; the forms differ only
 * there. The walks take their W by value: a copy's fields stay in
 * registers, where those behind a reference would be loaded again after
 * every add to the visit counters, which might alias them.
 */
#ifndef TERMCOUNT_SCAN_WALK_H
#define TERMCOUNT_SCAN_WALK_H

#include "scan_internal.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace walk {

/* A block is scanned as two interleaved pieces when it is at least this
 * long: each step waits on a load, and two independent walks keep two
 * loads in flight. Finding the cut costs a memchr, nothing beside a block
 * this long. */
constexpr size_t SPLIT = 64;

template <typename W>
uint32_t
walkOne(W w, uint32_t at, const unsigned char *p, const unsigned char *end)
{
    while (p != end)
        at = w.step(at, *p++);
    return at;
}

/* Two pieces of a text in one loop, each with its own state. */
template <typename W>
uint32_t
walkTwo(W w, uint32_t a, const unsigned char *p, const unsigned char *pEnd, uint32_t b,
        const unsigned char *q, const unsigned char *qEnd)
{
    size_t both = std::min(pEnd - p, qEnd - q);
    for (size_t i = 0; i < both; i++) {
        a = w.step(a, p[i]);
        b = w.step(b, q[i]);
    }
    walkOne(w, a, p + both, pEnd);
    return walkOne(w, b, q + both, qEnd);
}

/* Mode line: MIDDLE (named `middle`) leads nowhere but back to START at a
 * line feed, and counts nothing meanwhile, so the scan skips to the line
 * feed. */
template <typename W>
uint32_t
walkLines(W w, uint32_t middle, uint32_t at, const unsigned char *p, const unsigned char *end)
{
    while (p != end) {
        if (at == middle) {
            p = static_cast<const unsigned char *>(memchr(p, '\n', end - p));
            if (p == nullptr)
                return at;
        }
        at = w.step(at, *p++);
    }
    return at;
}

/* Where to cut a block for two walks: right after a line feed near its
 * middle, or 0 if there is none. */
inline size_t
middleCut(const unsigned char *p, size_t size)
{
    const void *lf = memchr(p + size / 2, '\n', size - size / 2);
    if (lf == nullptr)
        lf = memrchr(p, '\n', size / 2);
    return lf ? static_cast<const unsigned char *>(lf) - p + 1 : 0;
}

/* Every byte through the automaton. A piece that starts right after a
 * line feed starts at START, as a text does, when no term holds a line
 * feed. What the first piece leaves after its line feed is START too, and
 * counts nothing. */
template <typename W>
uint32_t
walkAll(const Scanner *sc, W w, uint32_t at, const unsigned char *p, size_t size)
{
    size_t cut = sc->cuttable && size >= SPLIT ? middleCut(p, size) : 0;
    if (cut == 0 || cut == size)
        return walkOne(w, at, p, p + size);
    return walkTwo(w, at, p, p + cut, START, p + cut, p + size);
}

/*
 * Skipping with the prefilter. The scan is idle at a root: no occurrence
 * is under way, and the root depends only on the byte before (MIDDLE
 * after a word byte in mode word, START otherwise). From a root, a byte
 * that begins no term leads to the root after it again, and counts at
 * the root only, which no term's count takes. So an idle scan may jump to
 * the prefilter's next candidate, taking the root after the byte before
 * it: any shorter way into a term would have begun at a candidate. Both
 * forms name START 0 and MIDDLE lowest after it.
 */
struct Skip {
    const Prefilter *pf;
    uint32_t idle;          /* the names up to this one are roots */
    uint32_t middle;        /* MIDDLE's name */
    bool word;              /* mode word */

    uint32_t rootAfter(unsigned char b) const { return word && isWordByte(b) ? middle : START; }
};

inline Skip
skipOf(const Scanner *sc, uint32_t middle)
{
    bool word = sc->mode == SCAN_WORD;
    return {sc->prefilter, word ? middle : START, middle, word};
}

/* How far a scan skips before it looks at how well skipping goes, and how
 * far it then reads every byte if it went badly: where candidates come
 * every few bytes, each costs a call and a jump, and the interleaved walks
 * of walkAll are faster. A window goes badly when its steps and candidates
 * cost more than half its bytes would; the look ends there, so that a
 * dense text pays a few candidates per stretch. */
constexpr size_t WINDOW = 1 << 16, DENSE_STRETCH = 1 << 18;

/* The cost of a candidate, in bytes walked: the call and its setup, as
 * measured with the grams' five lookups to begin. */
constexpr ptrdiff_t CANDIDATE_COST = 48;

/* Walks from `*from` towards `end`, jumping from an idle state to the next
 * candidate, until `*budget` is spent: a step costs 1, a candidate
 * CANDIDATE_COST. Returns the state where it stopped, and `*from` there. */
template <typename W>
uint32_t
walkSkipping(W w, Skip skip, uint32_t at, const unsigned char **from,
             const unsigned char *end, ptrdiff_t *budget)
{
    const unsigned char *p = *from;
    ptrdiff_t left = *budget;
    while (p != end) {
        if (at <= skip.idle) {
            if (left < 0)
                break;
            const unsigned char *q = prefilter_next(skip.pf, p, end);
            left -= CANDIDATE_COST;
            if (q != p) {
                at = skip.rootAfter(q[-1]);
                p = q;
                if (p == end)
                    break;
            }
        } else if (left < 0) {
            break;
        }
        at = w.step(at, *p++);
        left--;
    }
    *from = p;
    *budget = left;
    return at;
}

/* The block in windows, skipping; after a window that went badly, a
 * stretch of reading every byte. Kept out of feed, whose walks over every
 * byte are the dense lists' hot loops. */
template <typename W>
[[gnu::noinline]] uint32_t
feedSkipping(const Scanner *sc, W w, uint32_t middle, uint32_t at, const unsigned char *p,
             size_t size)
{
    Skip skip = skipOf(sc, middle);
    const unsigned char *end = p + size;
    while (p != end) {
        size_t n = std::min<size_t>(WINDOW, end - p);
        ptrdiff_t budget = static_cast<ptrdiff_t>(n / 2);
        at = walkSkipping(w, skip, at, &p, p + n, &budget);
        if (budget < 0) {
            size_t stretch = std::min<size_t>(DENSE_STRETCH, end - p);
            at = walkAll(sc, w, at, p, stretch);
            p += stretch;
        }
    }
    return at;
}

/* A block through the automaton from `at`, MIDDLE named `middle`: the
 * walk for the mode, skipping where there is a prefilter. */
template <typename W>
uint32_t
feed(const Scanner *sc, W w, uint32_t middle, uint32_t at, const unsigned char *p, size_t size)
{
    if (sc->mode == SCAN_LINE)
        return walkLines(w, middle, at, p, p + size);
    if (sc->prefilter != nullptr)
        return feedSkipping(sc, w, middle, at, p, size);
    return walkAll(sc, w, at, p, size);
}

} // namespace walk

#endif
