/*
 * prefilter.h: where in a text an occurrence of the terms may begin, found
 * with vector instructions, so that the automaton runs only there. It is a
 * superset: every position where a term begins is a candidate, and a few
 * where none does may be too.
 *
 * Two kinds, by the number of distinct starts (the first `width` bytes of
 * the terms, case folded if asked):
 *
 *   kind     starts  a position is a candidate if          width
 *   pairs    <= 8    its bytes equal one of the starts     up to 3
 *   nibbles  <= 64   for one of 8 buckets of starts, each  up to 4
 *                    of its bytes has a low and a high
 *                    half that some start of the bucket
 *                    has there
 *   grams    more    for one of 8 buckets of terms, each   up to 8
 *                    pair of bytes at offset k hashes to a
 *                    pair some term of the bucket has at k
 *   samples  more,   its first byte may begin a term, and  4
 *            all     the 4 bytes at some offset k after it
 *            long    hash to 4 bytes that a term has at k
 *
 * The samples read only every `stride`-th position of the text: with no
 * term shorter than stride + 3 bytes, every occurrence holds one of them
 * at an offset below the stride, and the table of each hash's offsets
 * names the positions before it where an occurrence may begin. They take
 * lists whose terms are all long enough for a stride of 4 or more, and
 * too many starts for the pairs.
 *
 * Nibbles look a half byte up in a 16-byte table with one shuffle, 32
 * positions at a time; grams look a word up per position and shift the
 * words of successive positions into one state. The nibbles take the list
 * where their false candidates, estimated over letters, are not many more
 * than the grams'.
 *
 * In mode word, a position after a word byte is no candidate either.
 *
 * Near the end of the bytes given, where fewer than the bytes compared are
 * left, a position is a candidate if the bytes there could begin a start:
 * an occurrence cut by a block boundary is never missed.
 *
 * Each kind has a plain C++ version, the reference, and vector versions
 * (SSE2 and AVX2 for pairs, SSSE3 and AVX2 for nibbles) taken once, when
 * the prefilter is built, by what the CPU has; the grams have the plain
 * version and the shifted one, the samples the plain one (every position's
 * offset 0) and the sampled one.
 */
#ifndef TERMCOUNT_PREFILTER_H
#define TERMCOUNT_PREFILTER_H

#include <cstddef>
#include <cstdint>

struct Entered;

enum PrefilterKind { PREFILTER_PAIRS, PREFILTER_NIBBLES, PREFILTER_GRAMS, PREFILTER_SAMPLES };

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
    uint64_t first[4];      /* the bytes that may begin a start */
    unsigned char nibbles[4][2][16];    /* nibbles: the buckets that have each low
                                           and high half at each byte of a start */
    unsigned char buckets[4][256];      /* nibbles: the same for whole bytes */
    uint64_t *grams;        /* grams: per hash of two bytes, a byte per offset
                               with the bit of each bucket that has no term
                               with those bytes there */
    uint32_t fold;          /* grams, samples: 0x20 in every byte if case is folded, else 0 */
    unsigned char *offsets; /* samples: per hash of four bytes, the bit of
                               each offset where some term has them */
    unsigned bits;          /* samples: the bits of a hash */
    unsigned stride;        /* samples: the positions between two samples */
    bool wordStarts;        /* a candidate follows a non-word byte */
};

/* Builds the prefilter of the `n` entered terms (none empty; folded to
 * lower case if `folding`) into `*out`, or sets `*out` null where none
 * would pay: the starts so short or so many that candidates would be
 * frequent, or no vector version for this CPU. With `wordStarts`, a
 * position after a word byte is no candidate (but the first one asked
 * about may be: the byte before it is not read). `how` holds PREFILTER_
 * flags. Returns false if memory ran out. */
bool prefilter_build(const Entered *terms, size_t n, bool folding, bool wordStarts,
                     unsigned how, Prefilter **out);

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
