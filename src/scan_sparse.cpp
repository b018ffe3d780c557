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
#include "scan_walk.h"

#include <algorithm>
#include <cstring>

namespace {

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
    return walk::feed(sc, w, MIDDLE, at, p, size);
}
