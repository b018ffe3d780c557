/*
 * scan_automaton.cpp: the scans that run the automaton over memory, and
 * the run-time half of scan.h, which hands mode line's lookup to
 * scan_lines.cpp.
 */
#include "scan_internal.h"

#include <algorithm>
#include <cstring>

namespace {

/* A block is scanned as two interleaved pieces when it is at least this
 * long: each step waits on a table load, and two independent walks keep
 * two loads in flight. Finding the cut costs a memchr, nothing beside a
 * block this long. */
constexpr size_t SPLIT = 64;
/*
 * The hot loops. `visits` gets 1 for the state the scan is in before each
 * byte whose class lets an end count; `counts` is 1 for every class in
 * mode any, so there the adds never depend on the byte.
 */
template <typename Form>
struct Walk {
    Form form;
    const unsigned char *classOf;
    const unsigned char *counts;
    uint64_t *visits;

    inline uint32_t step(uint32_t at, unsigned char byte) const
    {
        unsigned c = classOf[byte];
        visits[form.state(at)] += counts[c];
        return form.next[form.row(at) + c];
    }
};

template <typename W>
uint32_t
walkOne(const W &w, uint32_t at, const unsigned char *p, const unsigned char *end)
{
    while (p != end)
        at = w.step(at, *p++);
    return at;
}

/* Two pieces of a text in one loop, each with its own state. */
template <typename W>
uint32_t
walkTwo(const W &w, uint32_t a, const unsigned char *p, const unsigned char *pEnd,
        uint32_t b, const unsigned char *q, const unsigned char *qEnd)
{
    size_t both = std::min(pEnd - p, qEnd - q);
    for (size_t i = 0; i < both; i++) {
        a = w.step(a, p[i]);
        b = w.step(b, q[i]);
    }
    walkOne(w, a, p + both, pEnd);
    return walkOne(w, b, q + both, qEnd);
}

/* Mode line: MIDDLE leads nowhere but back to START at a line feed, and
 * counts nothing meanwhile, so the scan skips to the line feed. */
template <typename W>
uint32_t
walkLines(const W &w, uint32_t middle, uint32_t at, const unsigned char *p,
          const unsigned char *end)
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
size_t
middleCut(const unsigned char *p, size_t size)
{
    const void *lf = memchr(p + size / 2, '\n', size - size / 2);
    if (lf == nullptr)
        lf = memrchr(p, '\n', size / 2);
    return lf ? static_cast<const unsigned char *>(lf) - p + 1 : 0;
}

template <typename Form>
uint32_t
feed(const Scanner *sc, Form form, uint32_t at, const unsigned char *p, size_t size,
     uint64_t *visits)
{
    Walk<Form> w = {form, sc->classOf, sc->counts, visits};

    if (sc->mode == SCAN_LINE)
        return walkLines(w, nameOf(sc, MIDDLE), at, p, p + size);
    /* A piece that starts right after a line feed starts at START, as a
     * text does, when no term holds a line feed. What the first piece
     * leaves after its line feed is START too, and counts nothing. */
    size_t cut = sc->cuttable && size >= SPLIT ? middleCut(p, size) : 0;
    if (cut == 0 || cut == size)
        return walkOne(w, at, p, p + size);
    return walkTwo(w, at, p, p + cut, START, p + cut, p + size);
}
} // namespace

void
scanner_start(const Scanner *sc, ScanState *st)
{
    st->at = START;
    st->end = sc->lineTerms;
    st->depth = 0;
}

void
scanner_feed(const Scanner *sc, ScanState *st, const void *bytes, size_t size,
             uint64_t *visits)
{
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    if (sc->lines != nullptr)
        feedLines(sc, st, p, size, visits);
    else if (sc->rowOf != nullptr)
        st->at = feed(sc, Shared{sc->next, sc->rowOf}, st->at, p, size, visits);
    else
        st->at = feed(sc, Dense{sc->next, sc->divide}, st->at, p, size, visits);
}

void
scanner_finish(const Scanner *sc, ScanState *st, uint64_t *visits)
{
    if (sc->lines != nullptr) {
        endLine(sc, st, visits);
        return;
    }
    visits[numberOf(sc, st->at)]++;
    st->at = START;
}

void
scanner_total(const Scanner *sc, uint64_t *visits, uint64_t *counts)
{
    std::fill(counts, counts + sc->entries, 0);
    if (sc->lines != nullptr) {
        for (uint32_t t = 0; t < sc->lineTerms; t++)
            counts[sc->lines[t].entry] = visits[t];
        return;
    }
    uint32_t roots = sc->mode == SCAN_ANY ? 1 : 2;
    for (uint32_t i = sc->reached; i-- > roots;) {
        uint32_t s = sc->order[i];
        visits[sc->fail[s]] += visits[s];
    }
    for (uint32_t i = roots; i < sc->reached; i++) {
        uint32_t s = sc->order[i];
        if (sc->term[s] != 0)
            counts[sc->term[s] - 1] = visits[s];
    }
}

void
scanner_matches(const Scanner *sc, const void *bytes, size_t size, ScanHitFn hit,
                void *ctx)
{
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    if (sc->lines != nullptr) {
        matchLines(sc, p, size, hit, ctx);
        return;
    }
    uint32_t at = START;
    auto report = [&](uint32_t s) {
        for (uint32_t o = sc->firstOut[s]; o != NONE; o = sc->firstOut[sc->fail[o]])
            hit(ctx, sc->term[o] - 1);
    };
    for (size_t i = 0; i < size; i++) {
        unsigned c = sc->classOf[p[i]];
        if (sc->counts[c])
            report(numberOf(sc, at));
        at = sc->next[(sc->rowOf ? sc->rowOf[at] : at) + c];
    }
    report(numberOf(sc, at));
}
