/*
 * scan_automaton.cpp: the scans that run the compiled automaton over
 * memory (see scan_internal.h), in the form the compile chose.
 */
#include "scan_walk.h"

#include <algorithm>
#include <cstring>

namespace {

__extension__ typedef unsigned __int128 u128;

/*
 * The dense form, as the scan names a state: by its row offset. `row`
 * gives where the state's row starts, `state` its number, for its counter.
 */
struct Dense {
    const uint32_t *next;
    uint64_t divide;
    uint32_t row(uint32_t at) const { return at; }
    /* An exact division by the row length for any 32-bit offset, as a
     * multiplication. */
    uint32_t state(uint32_t at) const
    {
        return static_cast<uint32_t>((static_cast<u128>(divide) * at) >> 64);
    }
};

/* How the scan names the state numbered `s`. */
uint32_t
nameOf(const Scanner *sc, uint32_t s)
{
    return sc->sparse ? s : s * sc->classes;
}

uint32_t
numberOf(const Scanner *sc, uint32_t at)
{
    return sc->sparse ? at : Dense{sc->next, sc->divide}.state(at);
}

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

template <typename Form>
uint32_t
feed(const Scanner *sc, Form form, uint32_t at, const unsigned char *p, size_t size,
     uint64_t *visits)
{
    Walk<Form> w = {form, sc->classOf, sc->counts, visits};
    return walk::feed(sc, w, nameOf(sc, MIDDLE), at, p, size);
}

/* scanner_total for the sparse form, whose counters are one per output:
 * an output's count is its own and those of the outputs whose failure
 * chains reach it, deeper and so later numbered. */
void
totalSparse(const Scanner *sc, uint64_t *visits, uint64_t *counts)
{
    for (uint32_t r = sc->outputs; r > 0; r--) {
        visits[sc->outNext[r]] += visits[r];
        counts[sc->outEntry[r]] = visits[r];
    }
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
    else if (sc->sparse)
        st->at = sparseFeed(sc, st->at, p, size, visits);
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
    visits[sc->sparse ? sc->nodes[st->at].out : numberOf(sc, st->at)]++;
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
    if (sc->sparse) {
        totalSparse(sc, visits, counts);
        return;
    }
    /* The roots' counters are no term's: a root's failure is itself. */
    for (uint32_t s = sc->states; s-- > 2;)
        visits[sc->nodes[s].fail] += visits[s];
    for (uint32_t r = 1; r <= sc->outputs; r++)
        counts[sc->outEntry[r]] = visits[sc->outState[r]];
}

void
scanner_matches(const Scanner *sc, const void *bytes, size_t size, ScanHitFn hit,
                void *ctx)
{
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    if (sc->lines != nullptr) {
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
    uint32_t at = START;
    auto report = [&](uint32_t s) {
        for (uint32_t r = sc->nodes[s].out; r != 0; r = sc->outNext[r])
            hit(ctx, sc->outEntry[r]);
    };
    walk::Skip skip = walk::skipOf(sc, nameOf(sc, MIDDLE));
    for (size_t i = 0; i < size; i++) {
        if (skip.pf != nullptr && at <= skip.idle) {
            size_t q = prefilter_next(skip.pf, p + i, p + size) - p;
            if (q != i)
                at = skip.rootAfter(p[q - 1]);
            if ((i = q) == size)
                break;
        }
        unsigned c = sc->classOf[p[i]];
        if (sc->counts[c])
            report(numberOf(sc, at));
        if (!sc->sparse)
            at = sc->next[at + c];
        else if (at < sc->rows)
            at = sc->next[static_cast<size_t>(at) * sc->classes + c];
        else
            at = sparseNext(sc, at, c);
    }
    report(numberOf(sc, at));
}
