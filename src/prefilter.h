/*
 * prefilter.h: where in a text an occurrence of the terms may begin, found
 * with vector instructions, so that the automaton runs only there. It is a
 * superset: every position where a term begins is a candidate, and a few
 * where none does may be too.
 *
 * Two kinds, by the number of distinct starts (the first `width` bytes of
 * the terms, case folded if asked):
 *
 *   kind   starts  a position is a candidate if          width
 *   pairs  <= 8    its bytes equal one of the starts     up to 3
 *   hash   more    a hash of its bytes has its bit set   up to 4
 *                  in a bitmap of the starts
 *
 * Near the end of the bytes given, where fewer than the bytes compared are
 * left, a position is a candidate if the bytes there could begin a start:
 * an occurrence cut by a block boundary is never missed.
 *
 * Each kind has a plain C++ version, the reference, and vector versions
 * (SSE2 and AVX2 for pairs, AVX2 for hash) taken once, when the prefilter
 * is built, by what the CPU has.
 */
#ifndef TERMCOUNT_PREFILTER_H
#define TERMCOUNT_PREFILTER_H

#include <cstddef>
#include <cstdint>

struct Entered;

enum PrefilterKind { PREFILTER_PAIRS, PREFILTER_HASH };

/* How prefilter_build chooses. */
enum {
    PREFILTER_ALWAYS = 1,   /* build one whatever the terms, even where
                               candidates would be frequent (for tests) */
    PREFILTER_PLAIN = 2,    /* the plain C++ version whatever the CPU (for tests) */
};

constexpr unsigned PREFILTER_MOST_PAIRS = 8;

struct Prefilter {
    const unsigned char *(*next)(const Prefilter *pf, const unsigned char *p,
                                 const unsigned char *end);
    PrefilterKind kind;
    unsigned width;         /* bytes of a start compared */
    unsigned starts;        /* pairs: how many */
    unsigned char start[PREFILTER_MOST_PAIRS][4];  /* pairs: the starts, in lower case if folded */
    unsigned char lower[PREFILTER_MOST_PAIRS][4];  /* pairs: 0x20 where the text's byte is
                                                      compared in lower case, else 0 */
    uint64_t first[4];      /* the bytes that begin a start (with `fold` set in them) */
    uint32_t *bits;         /* hash: the bitmap, 1 << (32 - shift) bits */
    unsigned shift;         /* hash: 32 less the bits of a hash */
    uint32_t fold;          /* hash: 0x20 in each byte if case is folded, else 0 */
    uint32_t keep;          /* hash: the first `width` bytes of a 4-byte load */
};

/* Builds the prefilter of the `n` entered terms (none empty; folded to
 * lower case if `folding`) into `*out`, or sets `*out` null where none
 * would pay: the starts so short or so many that candidates would be
 * frequent, or no vector version for this CPU. `how` holds PREFILTER_
 * flags. Returns false if memory ran out. */
bool prefilter_build(const Entered *terms, size_t n, bool folding, unsigned how,
                     Prefilter **out);

/* The first candidate in [p, end), or `end` if there is none. */
inline const unsigned char *
prefilter_next(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    return pf->next(pf, p, end);
}

/* Frees a prefilter; `pf` may be null. */
void prefilter_free(Prefilter *pf);

/* The bytes it holds. */
size_t prefilter_size(const Prefilter *pf);

#endif
