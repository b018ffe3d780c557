/*
 * prefilter.cpp: the candidates of prefilter.h, in plain C++ and with SSE2
 * and AVX2, and the choice among them.
 *
 * A vector version tests 32 (AVX2) or 16 (SSE2) positions at once and
 * leaves the last few positions of what it is given, where its loads would
 * run past the end, to the plain version; so the plain version is the only
 * one that meets the end of a block, and its tests there are what makes an
 * occurrence cut by a block boundary a candidate.
 */
#include "prefilter.h"
#include "scan_internal.h"

#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

/* Spreads the 4-byte prefixes over the bitmap's words. Odd, so that no
 * two prefixes of `width` bytes (the rest masked off) hash alike before
 * the shift. */
constexpr uint32_t HASH_MUL = 0x9e3779b1u;

/* The bitmap's size: at least 64 bits per start, so that a position whose
 * bytes begin no term is a candidate once in 64 or less (with hashes
 * spread evenly), and at most 2^18 bits (32 KiB, which stays in the first
 * or second cache level). A list with more starts than a 32nd of the
 * largest gets no prefilter: its candidates would be too many. */
constexpr unsigned LEAST_HASH_BITS = 12, MOST_HASH_BITS = 18;
constexpr unsigned BITS_PER_START = 64;

/* A start shorter than this is too common to filter with a hash: two
 * letters begin a word of a text as often as one in ten times. */
constexpr unsigned LEAST_HASH_WIDTH = 3;

inline uint32_t
load32(const unsigned char *p)
{
    uint32_t w;
    memcpy(&w, p, sizeof w);
    return w;
}

inline bool
beginsStart(const Prefilter *pf, unsigned char b)
{
    return (pf->first[b >> 6] >> (b & 63)) & 1;
}

/* Whether the `avail` bytes at `p` (all of them, or the width if fewer)
 * equal those of a start. */
inline bool
pairsAt(const Prefilter *pf, const unsigned char *p, size_t avail)
{
    size_t m = avail < pf->width ? avail : pf->width;
    for (unsigned s = 0; s < pf->starts; s++) {
        size_t k = 0;
        while (k < m && (p[k] | pf->lower[s][k]) == pf->start[s][k])
            k++;
        if (k == m)
            return true;
    }
    return false;
}

inline uint32_t
hashOf(const Prefilter *pf, uint32_t bytes)
{
    return (((bytes | pf->fold) & pf->keep) * HASH_MUL) >> pf->shift;
}

inline bool
hashAt(const Prefilter *pf, const unsigned char *p)
{
    uint32_t h = hashOf(pf, load32(p));
    return (pf->bits[h >> 5] >> (h & 31)) & 1;
}

/* The reference: each position in turn. Its first byte must begin a start;
 * then the pairs compare the bytes there are, and the hash tests its bit
 * where four bytes are left to load (and takes the first byte's word for
 * it where fewer are). */
const unsigned char *
plainNext(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    for (; p != end; p++) {
        if (!beginsStart(pf, *p))
            continue;
        size_t avail = end - p;
        if (pf->kind == PREFILTER_PAIRS ? pairsAt(pf, p, avail) : avail < 4 || hashAt(pf, p))
            return p;
    }
    return end;
}

#if defined(__x86_64__)

/* The pairs over 16 positions at a time: a start's bytes compared with
 * the text at each of its offsets, the comparisons ANDed, the starts ORed. */
const unsigned char *
pairsSse2(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    unsigned w = pf->width, n = pf->starts;
    __m128i want[PREFILTER_MOST_PAIRS][3], lower[PREFILTER_MOST_PAIRS][3];
    for (unsigned s = 0; s < n; s++)
        for (unsigned k = 0; k < w; k++) {
            want[s][k] = _mm_set1_epi8(static_cast<char>(pf->start[s][k]));
            lower[s][k] = _mm_set1_epi8(static_cast<char>(pf->lower[s][k]));
        }
    for (; end - p >= static_cast<ptrdiff_t>(16 + w - 1); p += 16) {
        __m128i v[3], any = _mm_setzero_si128();
        v[0] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        for (unsigned k = 1; k < w; k++)
            v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k));
        for (unsigned s = 0; s < n; s++) {
            __m128i all = _mm_cmpeq_epi8(_mm_or_si128(v[0], lower[s][0]), want[s][0]);
            for (unsigned k = 1; k < w; k++)
                all = _mm_and_si128(all, _mm_cmpeq_epi8(_mm_or_si128(v[k], lower[s][k]), want[s][k]));
            any = _mm_or_si128(any, all);
        }
        if (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(any)))
            return p + __builtin_ctz(mask);
    }
    return plainNext(pf, p, end);
}

/* The same over 32 positions at a time. */
__attribute__((target("avx2"))) const unsigned char *
pairsAvx2(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    unsigned w = pf->width, n = pf->starts;
    __m256i want[PREFILTER_MOST_PAIRS][3], lower[PREFILTER_MOST_PAIRS][3];
    for (unsigned s = 0; s < n; s++)
        for (unsigned k = 0; k < w; k++) {
            want[s][k] = _mm256_set1_epi8(static_cast<char>(pf->start[s][k]));
            lower[s][k] = _mm256_set1_epi8(static_cast<char>(pf->lower[s][k]));
        }
    for (; end - p >= static_cast<ptrdiff_t>(32 + w - 1); p += 32) {
        __m256i v[3], any = _mm256_setzero_si256();
        v[0] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        for (unsigned k = 1; k < w; k++)
            v[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + k));
        for (unsigned s = 0; s < n; s++) {
            __m256i all = _mm256_cmpeq_epi8(_mm256_or_si256(v[0], lower[s][0]), want[s][0]);
            for (unsigned k = 1; k < w; k++)
                all = _mm256_and_si256(
                    all, _mm256_cmpeq_epi8(_mm256_or_si256(v[k], lower[s][k]), want[s][k]));
            any = _mm256_or_si256(any, all);
        }
        if (unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(any)))
            return p + __builtin_ctz(mask);
    }
    return plainNext(pf, p, end);
}

/* The hash over 8 positions at a time: 16 bytes loaded once, spread into
 * the eight 4-byte words that begin at its first eight bytes, hashed, and
 * their bits gathered from the bitmap. */
__attribute__((target("avx2"))) const unsigned char *
hashAvx2(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6,
                                            4, 5, 6, 7, 5, 6, 7, 8, 6, 7, 8, 9, 7, 8, 9, 10);
    const __m256i fold = _mm256_set1_epi32(static_cast<int>(pf->fold));
    const __m256i keep = _mm256_set1_epi32(static_cast<int>(pf->keep));
    const __m256i mul = _mm256_set1_epi32(static_cast<int>(HASH_MUL));
    const __m256i low5 = _mm256_set1_epi32(31);
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(pf->shift));
    const int *bits = reinterpret_cast<const int *>(pf->bits);
    for (; end - p >= 16; p += 8) {
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m256i v = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(b), spread);
        v = _mm256_and_si256(_mm256_or_si256(v, fold), keep);
        __m256i h = _mm256_srl_epi32(_mm256_mullo_epi32(v, mul), shift);
        __m256i words = _mm256_i32gather_epi32(bits, _mm256_srli_epi32(h, 5), 4);
        /* The bit of each hash moved to its word's sign. */
        __m256i at = _mm256_sub_epi32(low5, _mm256_and_si256(h, low5));
        __m256i top = _mm256_sllv_epi32(words, at);
        if (unsigned mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(top))))
            return p + __builtin_ctz(mask);
    }
    return plainNext(pf, p, end);
}

bool
hasAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

#else

bool
hasAvx2()
{
    return false;
}

#endif

/* Whether TERMCOUNT_PORTABLE is set (to anything but 0) in the
 * environment: the tests run the plain version over every compile so. */
bool
plainWanted()
{
    static const bool wanted = [] {
        const char *e = getenv("TERMCOUNT_PORTABLE");
        return e != nullptr && *e != '\0' && strcmp(e, "0") != 0;
    }();
    return wanted;
}

/* The distinct starts of `width` bytes of the sorted terms; the terms
 * that begin alike lie side by side. */
size_t
countStarts(const Entered *t, size_t n, size_t width)
{
    size_t starts = 0;
    for (size_t i = 0; i < n; i++)
        starts += i == 0 || memcmp(t[i - 1].bytes, t[i].bytes, width) != 0;
    return starts;
}

void
buildPairs(Prefilter *pf, const Entered *t, size_t n, bool folding)
{
    pf->kind = PREFILTER_PAIRS;
    for (size_t i = 0; i < n; i++) {
        if (i > 0 && memcmp(t[i - 1].bytes, t[i].bytes, pf->width) == 0)
            continue;
        unsigned s = pf->starts++;
        for (unsigned k = 0; k < pf->width; k++) {
            unsigned char b = t[i].bytes[k];
            pf->start[s][k] = b;
            pf->lower[s][k] = folding && b >= 'a' && b <= 'z' ? 0x20 : 0;
        }
    }
    for (unsigned b = 0; b < 256; b++)
        for (unsigned s = 0; s < pf->starts; s++)
            if ((b | pf->lower[s][0]) == pf->start[s][0])
                pf->first[b >> 6] |= uint64_t{1} << (b & 63);
}

/* The bitmap of the starts, each set as the text's 4-byte load at it
 * would be hashed: its first `width` bytes, the rest masked off. */
bool
buildHash(Prefilter *pf, const Entered *t, size_t n, size_t starts, bool folding)
{
    pf->kind = PREFILTER_HASH;
    unsigned bits = LEAST_HASH_BITS;
    while (bits < MOST_HASH_BITS && (uint64_t{1} << bits) < starts * BITS_PER_START)
        bits++;
    pf->shift = 32 - bits;
    pf->fold = folding ? 0x20202020u : 0;
    unsigned char ones[4] = {};
    memset(ones, 0xff, pf->width);
    pf->keep = load32(ones);
    pf->bits = static_cast<uint32_t *>(calloc(size_t{1} << (bits - 5), sizeof *pf->bits));
    if (pf->bits == nullptr)
        return false;
    bool firstFolded[256] = {};
    for (size_t i = 0; i < n; i++) {
        unsigned char head[4] = {};
        memcpy(head, t[i].bytes, pf->width);
        uint32_t h = hashOf(pf, load32(head));
        pf->bits[h >> 5] |= uint32_t{1} << (h & 31);
        firstFolded[head[0] | (pf->fold & 0xff)] = true;
    }
    for (unsigned b = 0; b < 256; b++)
        if (firstFolded[b | (pf->fold & 0xff)])
            pf->first[b >> 6] |= uint64_t{1} << (b & 63);
    return true;
}

/* The version to run: the vector one for the CPU, unless the plain one is
 * asked for. Null where the hash has no vector version here: the plain
 * hash gains too little over the automaton to be worth its candidates. */
auto
chooseNext(PrefilterKind kind, bool plain)
{
    using Next = const unsigned char *(*)(const Prefilter *, const unsigned char *,
                                          const unsigned char *);
    if (plain)
        return static_cast<Next>(plainNext);
#if defined(__x86_64__)
    if (kind == PREFILTER_PAIRS)
        return static_cast<Next>(hasAvx2() ? pairsAvx2 : pairsSse2);
    if (hasAvx2())
        return static_cast<Next>(hashAvx2);
    return static_cast<Next>(nullptr);
#else
    return static_cast<Next>(kind == PREFILTER_PAIRS ? plainNext : nullptr);
#endif
}

} // namespace

bool
prefilter_build(const Entered *t, size_t n, bool folding, unsigned how, Prefilter **out)
{
    *out = nullptr;
    size_t shortest = SIZE_MAX;
    for (size_t i = 0; i < n; i++)
        shortest = std::min(shortest, t[i].length);
    bool always = (how & PREFILTER_ALWAYS) != 0;
    bool plain = (how & PREFILTER_PLAIN) != 0 || plainWanted();
    size_t pairWidth = std::min<size_t>(shortest, 3), hashWidth = std::min<size_t>(shortest, 4);
    bool pairs = countStarts(t, n, pairWidth) <= PREFILTER_MOST_PAIRS;
    size_t starts = pairs ? 0 : countStarts(t, n, hashWidth);
    if (!pairs && !always &&
        (hashWidth < LEAST_HASH_WIDTH ||
         starts * BITS_PER_START > (size_t{1} << MOST_HASH_BITS) * 2))
        return true;
    auto next = chooseNext(pairs ? PREFILTER_PAIRS : PREFILTER_HASH, plain);
    if (next == nullptr && !always)
        return true;
    Prefilter *pf = static_cast<Prefilter *>(calloc(1, sizeof *pf));
    if (pf == nullptr)
        return false;
    pf->width = static_cast<unsigned>(pairs ? pairWidth : hashWidth);
    if (pairs) {
        buildPairs(pf, t, n, folding);
    } else if (!buildHash(pf, t, n, starts, folding)) {
        prefilter_free(pf);
        return false;
    }
    pf->next = next ? next : plainNext;
    *out = pf;
    return true;
}

void
prefilter_free(Prefilter *pf)
{
    if (pf == nullptr)
        return;
    free(pf->bits);
    free(pf);
}

size_t
prefilter_size(const Prefilter *pf)
{
    size_t bits = pf->bits != nullptr ? (size_t{1} << (32 - pf->shift)) / 8 : 0;
    return sizeof *pf + bits;
}
