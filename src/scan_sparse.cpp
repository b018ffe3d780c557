/*
 * scan_sparse.cpp: the scan of the sparse form (see scan_internal.h),
 * for lists whose dense rows would be too large.
 *
 * The first sc->rows states, the shallowest, have rows as in the dense
 * form; a scan spends most of its steps there, as most bytes of a text
 * lead back near a root. Every other state is looked up among its
 * children, in increasing order of class, and failures are taken until a
 * child is found or a state with a row is reached, which ends the step.
 * States are named by their numbers, and the counter added to is that of
 * the output nearest on the state's chain (0 where none is).
 */
#include "scan_internal.h"

#include <algorithm>
#include <cstring>

namespace {

/* A block is scanned as two interleaved pieces when it is at least this
 * long, as in the dense form: two walks keep two lookups in flight. */
constexpr size_t SPLIT = 64;

struct SparseWalk {
    const Scanner *sc;
    const uint32_t *next;
    const Node *nodes;
    uint32_t rows;
    uint32_t classes;
    const unsigned char *classOf;
    const unsigned char *counts;
    uint64_t *visits;

    inline uint32_t step(uint32_t at, unsigned char byte) const
    {
        unsigned c = classOf[byte];
        visits[nodes[at].out] += counts[c];
        return at < rows ? next[static_cast<size_t>(at) * classes + c] : sparseNext(sc, at, c);
    }
};

uint32_t
walkOne(const SparseWalk &w, uint32_t at, const unsigned char *p, const unsigned char *end)
{
    while (p != end)
        at = w.step(at, *p++);
    return at;
}

/* Two pieces of a text in one loop, each with its own state. */
uint32_t
walkTwo(const SparseWalk &w, uint32_t a, const unsigned char *p, const unsigned char *pEnd,
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
uint32_t
walkLines(const SparseWalk &w, uint32_t at, const unsigned char *p, const unsigned char *end)
{
    while (p != end) {
        if (at == MIDDLE) {
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

} // namespace

uint32_t
sparseNext(const Scanner *sc, uint32_t at, unsigned c)
{
    for (;;) {
        uint32_t child = findChild(sc, at, c);
        if (child != NONE)
            return child;
        at = sc->nodes[at].fail;
        if (at < sc->rows)
            return sc->next[static_cast<size_t>(at) * sc->classes + c];
    }
}

uint32_t
sparseFeed(const Scanner *sc, uint32_t at, const unsigned char *p, size_t size,
           uint64_t *visits)
{
    SparseWalk w = {sc, sc->next, sc->nodes, sc->rows, sc->classes, sc->classOf, sc->counts,
                    visits};
    if (sc->mode == SCAN_LINE)
        return walkLines(w, at, p, p + size);
    /* A piece that starts right after a line feed starts at START, as a
     * text does, when no term holds a line feed. */
    size_t cut = sc->cuttable && size >= SPLIT ? middleCut(p, size) : 0;
    if (cut == 0 || cut == size)
        return walkOne(w, at, p, p + size);
    return walkTwo(w, at, p, p + cut, START, p + cut, p + size);
}
