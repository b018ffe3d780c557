/*
 * prefilter.cpp: the candidates of prefilter.h, in plain C++, with SSE2,
 * SSSE3 and AVX2 and with the grams' shifts, and the choice among them.
 *
 * A fast version tests 32 (AVX2), 16 (SSE2, SSSE3) or 4 (grams) positions
 * at once and leaves the last few positions of what it is given, where its
 * loads would run past the end, to the plain version; so the plain version
 * is the only one that meets the end of a block, and its tests there are
 * what makes an occurrence cut by a block boundary a candidate.
 */
#include "prefilter.h"
#include "scan_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

/* The nibbles take at most this many starts (8 to a bucket), where their
 * tables still let few letters through. */
constexpr size_t MOST_NIBBLE_STARTS = 64;
constexpr double NIBBLES_FASTER = 4;

/* A prefilter pays if it takes at most one position in this many for a
 * candidate, estimated over a text of random lower-case letters. */
constexpr double MOST_ODDS = 1.0 / 32;

/* The grams' table: a 64-bit word for each hash of two bytes, 32 KiB,
 * which stays in the first cache level. Each byte of a word stands for an
 * offset into the starts, and each bit of a byte for a bucket. */
constexpr unsigned GRAM_BITS = 12;
constexpr uint16_t GRAM_MUL = 0x9e37u;
/* Five pairs at most, so that four positions' results lie side by side
 * in the state (see gramsAvx2). */
constexpr unsigned MOST_GRAM_WIDTH = 6;

/* The samples: terms of at least SAMPLE_LEAST bytes (a stride of 4), at
 * most 8 offsets (a byte's bits), and a table of 2^10 to 2^18 bytes, the
 * largest in the second cache level, with SAMPLE_ROOM bytes for each
 * term's offset as far as that allows: every sample a collision lets
 * through costs a walk. A table fuller than one byte in MOST_SAMPLED
 * (lists of thousands) would let too many through; the grams take it. */
constexpr unsigned SAMPLE_BYTES = 4, SAMPLE_LEAST = 7, MOST_STRIDE = 8;
constexpr unsigned LEAST_SAMPLE_BITS = 10, MOST_SAMPLE_BITS = 18;
constexpr size_t SAMPLE_ROOM = 128;
constexpr double MOST_SAMPLED = 16;
constexpr uint32_t SAMPLE_MUL = 0x9e3779b1u;

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

/* Whether some bucket has, at each of the `avail` bytes at `p` (or the
 * width, if fewer), a start whose byte there shares its low half and a
 * start whose byte shares its high half. */
inline bool
nibblesAt(const Prefilter *pf, const unsigned char *p, size_t avail)
{
    size_t m = avail < pf->width ? avail : pf->width;
    unsigned in = 0xff;
    for (size_t k = 0; k < m; k++)
        in &= pf->buckets[k][p[k]];
    return in != 0;
}

/* Whether an occurrence may begin at `q`, a position from `from` on, by
 * the byte before it: in mode word, only after a non-word byte. The byte
 * before `from` may lie out of reach, in the block before. */
inline bool
mayStart(const Prefilter *pf, const unsigned char *q, const unsigned char *from)
{
    return !pf->wordStarts || q == from || !isWordByte(q[-1]);
}

/* The first of the positions from `at` that `mask` marks where an
 * occurrence may begin, or null. */
inline const unsigned char *
firstMarked(const Prefilter *pf, const unsigned char *at, uint32_t mask,
            const unsigned char *from)
{
    for (; mask != 0; mask &= mask - 1) {
        const unsigned char *q = at + __builtin_ctz(mask);
        if (mayStart(pf, q, from))
            return q;
    }
    return nullptr;
}

/* The hash of the two bytes at `p`, folded as the grams were. */
inline uint32_t
gramOf(const Prefilter *pf, const unsigned char *p)
{
    uint16_t g = static_cast<uint16_t>(p[0] | (p[1] << 8) | pf->fold);
    return static_cast<uint16_t>(g * GRAM_MUL) >> (16 - GRAM_BITS);
}

/* Whether some bucket takes the two bytes at each offset into the
 * `width` bytes at `p`: no bucket's bit is set in every offset's byte of
 * the words of the grams there. Where fewer than `width` bytes are left,
 * the first byte decides alone. */
inline bool
gramsAt(const Prefilter *pf, const unsigned char *p, size_t avail)
{
    if (avail < pf->width)
        return true;
    unsigned out = 0;
    for (unsigned k = 0; k + 1 < pf->width; k++)
        out |= (pf->grams[gramOf(pf, p + k)] >> (8 * k)) & 0xff;
    return out != 0xff;
}

/* The hash of the four bytes at `p`, folded as the samples were. */
inline uint32_t
sampleOf(const Prefilter *pf, const unsigned char *p)
{
    uint32_t g;
    memcpy(&g, p, sizeof g);
    return ((g | pf->fold) * SAMPLE_MUL) >> (32 - pf->bits);
}

/* Whether some term has the four bytes at `p` at its start; where fewer
 * are left, whether the first byte may begin one. */
inline bool
samplesAt(const Prefilter *pf, const unsigned char *p, size_t avail)
{
    return avail < SAMPLE_BYTES || (pf->offsets[sampleOf(pf, p)] & 1) != 0;
}

/* The reference: each position in turn. Its first byte must begin a start;
 * then each kind tests the bytes there are. */
const unsigned char *
plainNext(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    for (const unsigned char *from = p; p != end; p++) {
        if (!beginsStart(pf, *p) || !mayStart(pf, p, from))
            continue;
        size_t avail = end - p;
        if (pf->kind == PREFILTER_PAIRS     ? pairsAt(pf, p, avail)
            : pf->kind == PREFILTER_NIBBLES ? nibblesAt(pf, p, avail)
            : pf->kind == PREFILTER_GRAMS   ? gramsAt(pf, p, avail)
                                            : samplesAt(pf, p, avail))
            return p;
    }
    return end;
}

/* Of the positions `y - k` for the offsets k that `offsets` marks, the
 * first where a term's first four bytes may be, after a non-word byte in
 * mode word, or null. The highest offset comes first. */
inline const unsigned char *
firstOffset(const Prefilter *pf, const unsigned char *y, unsigned offsets,
            const unsigned char *from)
{
    while (offsets != 0) {
        unsigned k = 31 - __builtin_clz(offsets);
        const unsigned char *q = y - k;
        if (beginsStart(pf, *q) && (pf->offsets[sampleOf(pf, q)] & 1) != 0 && mayStart(pf, q, from))
            return q;
        offsets &= ~(1u << k);
    }
    return nullptr;
}

/* The samples: the positions `stride - 1` past `p` and every stride on,
 * four at a time, one branch for the four. An occurrence that begins at
 * x holds the sample in [x, x + stride - 1], at an offset the table marks
 * for it: so the positions a sample's offsets name are all the ones
 * before it, back to the sample before, where one may begin. The last
 * positions, whose sample would run past the end, are the plain
 * version's. */
const unsigned char *
samplesNext(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    const size_t stride = pf->stride;
    const unsigned char *offsets = pf->offsets;
    const unsigned char *y = p + stride - 1;
    for (; end - y >= static_cast<ptrdiff_t>(3 * stride + SAMPLE_BYTES); y += 4 * stride) {
        unsigned a = offsets[sampleOf(pf, y)], b = offsets[sampleOf(pf, y + stride)];
        unsigned c = offsets[sampleOf(pf, y + 2 * stride)];
        unsigned d = offsets[sampleOf(pf, y + 3 * stride)];
        if ((a | b | c | d) == 0)
            continue;
        const unsigned k[4] = {a, b, c, d};
        for (unsigned i = 0; i < 4; i++)
            if (const unsigned char *q = firstOffset(pf, y + i * stride, k[i], p))
                return q;
    }
    for (; end - y >= static_cast<ptrdiff_t>(SAMPLE_BYTES); y += stride)
        if (const unsigned char *q = firstOffset(pf, y, offsets[sampleOf(pf, y)], p))
            return q;
    return plainNext(pf, y - (stride - 1), end);
}

#if defined(__x86_64__)

/* The pairs over 16 positions at a time: a start's bytes compared with
 * the text at each of its offsets, the comparisons ANDed, the starts ORed. */
const unsigned char *
pairsSse2(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    const unsigned char *from = p;
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
            if (const unsigned char *q = firstMarked(pf, p, mask, from))
                return q;
    }
    return plainNext(pf, p, end);
}

/* The same over 32 positions at a time. */
__attribute__((target("avx2"))) const unsigned char *
pairsAvx2(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    const unsigned char *from = p;
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
            if (const unsigned char *q = firstMarked(pf, p, mask, from))
                return q;
    }
    return plainNext(pf, p, end);
}

/* The nibbles over 16 positions at a time: the buckets of each half byte
 * looked up by a shuffle, the low and high halves' ANDed, and the bytes of
 * a start's width at their offsets ANDed. */
__attribute__((target("ssse3"))) const unsigned char *
nibblesSsse3(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    const unsigned char *from = p;
    unsigned w = pf->width;
    __m128i lo[4], hi[4];
    const __m128i low4 = _mm_set1_epi8(0x0f);
    for (unsigned k = 0; k < w; k++) {
        lo[k] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pf->nibbles[k][0]));
        hi[k] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pf->nibbles[k][1]));
    }
    for (; end - p >= static_cast<ptrdiff_t>(16 + w - 1); p += 16) {
        __m128i in = _mm_set1_epi8(-1);
        for (unsigned k = 0; k < w; k++) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k));
            __m128i l = _mm_shuffle_epi8(lo[k], _mm_and_si128(v, low4));
            __m128i h = _mm_shuffle_epi8(hi[k], _mm_and_si128(_mm_srli_epi16(v, 4), low4));
            in = _mm_and_si128(in, _mm_and_si128(l, h));
        }
        unsigned none = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(in, _mm_setzero_si128())));
        if (unsigned mask = none ^ 0xffffu)
            if (const unsigned char *q = firstMarked(pf, p, mask, from))
                return q;
    }
    return plainNext(pf, p, end);
}

/* The same over 32 positions at a time, each table in both lanes. */
__attribute__((target("avx2"))) const unsigned char *
nibblesAvx2(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    const unsigned char *from = p;
    unsigned w = pf->width;
    __m256i lo[4], hi[4];
    const __m256i low4 = _mm256_set1_epi8(0x0f);
    for (unsigned k = 0; k < w; k++) {
        lo[k] = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(pf->nibbles[k][0])));
        hi[k] = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(pf->nibbles[k][1])));
    }
    for (; end - p >= static_cast<ptrdiff_t>(32 + w - 1); p += 32) {
        __m256i in = _mm256_set1_epi8(-1);
        for (unsigned k = 0; k < w; k++) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + k));
            __m256i l = _mm256_shuffle_epi8(lo[k], _mm256_and_si256(v, low4));
            __m256i h = _mm256_shuffle_epi8(hi[k], _mm256_and_si256(_mm256_srli_epi16(v, 4), low4));
            in = _mm256_and_si256(in, _mm256_and_si256(l, h));
        }
        unsigned none = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(in, _mm256_setzero_si256())));
        if (unsigned mask = ~none)
            if (const unsigned char *q = firstMarked(pf, p, mask, from))
                return q;
    }
    return plainNext(pf, p, end);
}

/* The hashes of the 32 pairs of bytes that begin at `j`, as gramOf takes
 * them, into `out`, in 16-bit lanes. */
__attribute__((target("avx2"))) inline void
gramHashes(const Prefilter *pf, const unsigned char *j, uint16_t *out)
{
    const __m256i fold = _mm256_set1_epi16(static_cast<short>(pf->fold));
    const __m256i mul = _mm256_set1_epi16(static_cast<short>(GRAM_MUL));
    /* The quarters reordered so that unpacking takes the positions in order. */
    __m256i a = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(j)), 0xd8);
    __m256i b = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(j + 1)), 0xd8);
    for (int half = 0; half < 2; half++) {
        __m256i g = half ? _mm256_unpackhi_epi8(a, b) : _mm256_unpacklo_epi8(a, b);
        g = _mm256_srli_epi16(_mm256_mullo_epi16(_mm256_or_si256(g, fold), mul), 16 - GRAM_BITS);
        _mm256_store_si256(reinterpret_cast<__m256i *>(out + 16 * half), g);
    }
}

/* The words of the 32 hashes `at`, of the pairs from `j` on, shifted into
 * `*state` four at a time; the first candidate among the starts they
 * complete (those from j - (width - 2) on), or null. The results are
 * tested once for the 32, one branch where there were eight. */
inline const unsigned char *
gramLookups(const Prefilter *pf, const uint16_t *at, const unsigned char *j, uint64_t *state,
            const unsigned char *from)
{
    const uint64_t *grams = pf->grams;
    size_t test = pf->width - 2;
    uint64_t s = *state;
    uint32_t results[8], all = 0xffffffffu;
    for (unsigned k = 0; k < 8; k++) {
        const uint16_t *h = at + 4 * k;
        uint64_t four = ((grams[h[0]] << 24) | (grams[h[1]] << 16)) |
                        ((grams[h[2]] << 8) | grams[h[3]]);
        s = (s << 32) | four;
        results[k] = static_cast<uint32_t>(s >> (8 * test));
        all &= results[k];
    }
    *state = s;
    /* Rare: a candidate among the 32 (a byte below 0xff in one of the
     * results is one in their AND too). */
    for (unsigned k = 0; all != 0xffffffffu && k < 8; k++) {
        uint32_t mask = 0;
        for (unsigned r = 0; r < 4; r++)
            mask |= (((results[k] >> (8 * (3 - r))) & 0xff) != 0xff) << r;
        if (const unsigned char *q = firstMarked(pf, j + 4 * k - test, mask, from))
            return q;
    }
    return nullptr;
}

/* The grams 32 positions at a time: their hashes computed in 16-bit lanes
 * and stored a block ahead of their lookups (a load right after the wide
 * store it reads would wait for it), then each looked up, and the words
 * of four positions ORed into the state at once. With the bytes above the
 * last offset's clear in every word, the state's bytes `width - 2` up to
 * `width + 1` then hold the results of the four starts, the earliest
 * highest. */
__attribute__((target("avx2"))) const unsigned char *
gramsAvx2(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    size_t test = pf->width - 2;
    if (static_cast<size_t>(end - p) < test + 65)
        return plainNext(pf, p, end);
    uint64_t state = 0;
    for (size_t k = 0; k < test; k++)
        state = (state << 8) | pf->grams[gramOf(pf, p + k)];
    alignas(32) uint16_t at[2][32];
    const unsigned char *j = p + test;
    unsigned cur = 0;
    gramHashes(pf, j, at[cur]);
    for (; end - j >= 65; j += 32, cur ^= 1) {
        gramHashes(pf, j + 32, at[cur ^ 1]);
        if (const unsigned char *q = gramLookups(pf, at[cur], j, &state, p))
            return q;
    }
    if (end - j >= 33) {
        if (const unsigned char *q = gramLookups(pf, at[cur], j, &state, p))
            return q;
        j += 32;
    }
    return plainNext(pf, j - test, end);
}

bool
hasAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

bool
hasSsse3()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
}

#endif

/* What TERMCOUNT_PORTABLE in the environment asks for, for the tests: 1
 * (or anything but 0 and sse) the plain version over every compile, sse
 * the 16-byte versions and the grams' plain shifts, as on a CPU without
 * AVX2. */
enum Wanted { WANT_FASTEST, WANT_PLAIN, WANT_SSE };

Wanted
wanted()
{
    static const Wanted w = [] {
        const char *e = getenv("TERMCOUNT_PORTABLE");
        if (e == nullptr || *e == '\0' || strcmp(e, "0") == 0)
            return WANT_FASTEST;
        return strcmp(e, "sse") == 0 ? WANT_SSE : WANT_PLAIN;
    }();
    return w;
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

/* The starts dealt into the 8 buckets in sorted order, so that starts
 * that begin alike share one; each start's byte at each offset sets its
 * bucket's bit at that byte's halves, and at both cases' if folded. */
void
buildNibbles(Prefilter *pf, const Entered *t, size_t n, size_t starts, bool folding)
{
    pf->kind = PREFILTER_NIBBLES;
    size_t s = 0;
    for (size_t i = 0; i < n; i++) {
        if (i > 0 && memcmp(t[i - 1].bytes, t[i].bytes, pf->width) == 0)
            continue;
        unsigned bit = 1u << (s++ * 8 / starts);
        for (unsigned k = 0; k < pf->width; k++) {
            unsigned char b = t[i].bytes[k];
            for (unsigned char v : {b, static_cast<unsigned char>(b ^ 0x20)}) {
                if (v != b && !(folding && b >= 'a' && b <= 'z'))
                    continue;
                pf->nibbles[k][0][v & 15] |= static_cast<unsigned char>(bit);
                pf->nibbles[k][1][v >> 4] |= static_cast<unsigned char>(bit);
            }
        }
    }
    for (unsigned k = 0; k < pf->width; k++)
        for (unsigned b = 0; b < 256; b++)
            pf->buckets[k][b] = pf->nibbles[k][0][b & 15] & pf->nibbles[k][1][b >> 4];
    for (unsigned b = 0; b < 256; b++)
        if (pf->buckets[0][b] != 0)
            pf->first[b >> 6] |= uint64_t{1} << (b & 63);
}

/* The share of positions of a text of lower-case letters that the nibbles
 * would take for candidates: per bucket, the letters it lets through at
 * each offset, multiplied over the offsets; summed over the buckets. */
double
nibblesOdds(const Prefilter *pf)
{
    double odds = 0;
    for (unsigned bit = 1; bit < 256; bit <<= 1) {
        double in = 1;
        for (unsigned k = 0; k < pf->width; k++) {
            unsigned letters = 0;
            for (unsigned b = 'a'; b <= 'z'; b++)
                letters += (pf->buckets[k][b] & bit) != 0;
            in *= letters / 26.0;
        }
        odds += in;
    }
    return odds;
}

/* The grams with the words of successive positions shifted into one
 * state, a load, a shift and an OR a byte: after the word of the grams at
 * position j is ORed in, the state's byte `width - 2` holds, for the start
 * at j - (width - 2), the OR of each offset's byte of the words at its
 * grams; a bucket's bit left clear there makes it a candidate. The last
 * positions, where a start's grams would run past the end, are the plain
 * version's. */
const unsigned char *
gramsNext(const Prefilter *pf, const unsigned char *p, const unsigned char *end)
{
    size_t test = pf->width - 2;
    if (static_cast<size_t>(end - p) < pf->width)
        return plainNext(pf, p, end);
    const unsigned char *last = end - pf->width;  /* the last start tested here */
    uint64_t state = 0;
    for (size_t k = 0; k < test; k++)
        state = (state << 8) | pf->grams[gramOf(pf, p + k)];
    for (const unsigned char *j = p + test;; j++) {
        state = (state << 8) | pf->grams[gramOf(pf, j)];
        if (((state >> (8 * test)) & 0xff) != 0xff && mayStart(pf, j - test, p))
            return j - test;
        if (j - test == last)
            break;
    }
    return plainNext(pf, last + 1, end);
}

/* The bucket of the term ranked `r` by length, of `n` with `shorter` of
 * them shorter than the width. A short term lets through whatever follows
 * its bytes, and so makes its bucket take every position where its first
 * bytes occur: the shortest get buckets of their own, then of 2 and of 4,
 * and the short ones left share a fourth; the rest, which every offset
 * filters, share the other buckets alike. */
unsigned
gramBucket(size_t r, size_t shorter, size_t n)
{
    unsigned bucket = 0;
    size_t from = 0;
    for (size_t size = 1; bucket < 3 && from < shorter; size *= 2, bucket++) {
        if (r < from + size && r < shorter)
            return bucket;
        from = std::min(from + size, shorter);
    }
    if (r < shorter)
        return bucket;
    bucket += shorter > from;
    unsigned left = 8 - bucket;
    return bucket + static_cast<unsigned>((r - shorter) * left / (n - shorter));
}

/* The terms dealt into the 8 buckets, shortest first, so that the short
 * ones, which let through whatever follows them, share few buckets. A
 * term's two bytes at each offset clear its bucket's bit in that offset's
 * byte of their gram's word; an offset past its end clears it in every
 * word. */
bool
buildGrams(Prefilter *pf, const Entered *t, size_t n, bool folding)
{
    pf->kind = PREFILTER_GRAMS;
    pf->fold = folding ? 0x2020u : 0;
    pf->grams = static_cast<uint64_t *>(malloc((size_t{1} << GRAM_BITS) * sizeof *pf->grams));
    size_t *order = static_cast<size_t *>(malloc((n ? n : 1) * sizeof *order));
    if (pf->grams == nullptr || order == nullptr) {
        free(order);
        return false;
    }
    uint64_t offsets = ~uint64_t{0} >> (8 * (8 - (pf->width - 1)));
    std::fill(pf->grams, pf->grams + (size_t{1} << GRAM_BITS), offsets);
    for (size_t i = 0; i < n; i++)
        order[i] = i;
    std::stable_sort(order, order + n, [&](size_t a, size_t b) { return t[a].length < t[b].length; });
    uint64_t wild = 0;
    size_t shorter = 0;
    while (shorter < n && t[order[shorter]].length < pf->width)
        shorter++;
    for (size_t r = 0; r < n; r++) {
        const Entered &e = t[order[r]];
        unsigned bucket = gramBucket(r, shorter, n);
        for (unsigned k = 0; k + 1 < pf->width; k++) {
            uint64_t bit = uint64_t{1} << (8 * k + bucket);
            if (k + 1 < e.length)
                pf->grams[gramOf(pf, e.bytes + k)] &= ~bit;
            else
                wild |= bit;
        }
        unsigned char b = e.bytes[0];
        for (unsigned char v : {b, static_cast<unsigned char>(b ^ 0x20)})
            if (v == b || (folding && b >= 'a' && b <= 'z'))
                pf->first[v >> 6] |= uint64_t{1} << (v & 63);
    }
    for (size_t g = 0; g < (size_t{1} << GRAM_BITS); g++)
        pf->grams[g] &= ~wild;
    free(order);
    return true;
}

/* The grams' candidates among the positions of a text of random lower-case
 * letters: per bucket, the share of letter pairs it takes at each offset,
 * multiplied over the offsets; summed over the buckets. */
double
gramsOdds(const Prefilter *pf)
{
    double odds = 0;
    for (unsigned bucket = 0; bucket < 8; bucket++) {
        double in = 1;
        for (unsigned k = 0; k + 1 < pf->width; k++) {
            unsigned pairs = 0;
            for (unsigned a = 'a'; a <= 'z'; a++)
                for (unsigned b = 'a'; b <= 'z'; b++) {
                    unsigned char two[2] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b)};
                    pairs += (pf->grams[gramOf(pf, two)] >> (8 * k + bucket) & 1) == 0;
                }
            in *= pairs / 676.0;
        }
        odds += in;
    }
    return odds;
}

/* The samples of the terms, all at least SAMPLE_LEAST bytes long: each
 * term's four bytes at each offset below the stride mark that offset at
 * their hash, in a table of a byte per hash. Returns false if memory ran
 * out. */
bool
buildSamples(Prefilter *pf, const Entered *t, size_t n, size_t shortest, bool folding)
{
    pf->kind = PREFILTER_SAMPLES;
    pf->width = SAMPLE_BYTES;
    pf->fold = folding ? 0x20202020u : 0;
    pf->stride = static_cast<unsigned>(std::min<size_t>(shortest - SAMPLE_BYTES + 1, MOST_STRIDE));
    size_t want = n * pf->stride * SAMPLE_ROOM;
    pf->bits = LEAST_SAMPLE_BITS;
    while (pf->bits < MOST_SAMPLE_BITS && (size_t{1} << pf->bits) < want)
        pf->bits++;
    pf->offsets = static_cast<unsigned char *>(calloc(size_t{1} << pf->bits, 1));
    if (pf->offsets == nullptr)
        return false;
    for (size_t i = 0; i < n; i++) {
        for (unsigned k = 0; k < pf->stride; k++)
            pf->offsets[sampleOf(pf, t[i].bytes + k)] |= static_cast<unsigned char>(1u << k);
        unsigned char b = t[i].bytes[0];
        for (unsigned char v : {b, static_cast<unsigned char>(b ^ 0x20)})
            if (v == b || (folding && b >= 'a' && b <= 'z'))
                pf->first[v >> 6] |= uint64_t{1} << (v & 63);
    }
    return true;
}

/* Undoes buildSamples, for the grams to take the list: a table too full
 * to pay. */
void
dropSamples(Prefilter *pf)
{
    free(pf->offsets);
    pf->offsets = nullptr;
    memset(pf->first, 0, sizeof pf->first);
}

/* The share of the samples' table that is marked. */
double
samplesFilled(const Prefilter *pf)
{
    size_t marked = 0, size = size_t{1} << pf->bits;
    for (size_t h = 0; h < size; h++)
        marked += pf->offsets[h] != 0;
    return static_cast<double>(marked) / static_cast<double>(size);
}

/* The version to run: the vector one for the CPU, or the grams' shifts,
 * unless the plain one is asked for. Null where the nibbles have no vector
 * version here: their plain version gains too little over the automaton
 * to be worth its candidates. */
auto
chooseNext(PrefilterKind kind, bool plain)
{
    using Next = const unsigned char *(*)(const Prefilter *, const unsigned char *,
                                          const unsigned char *);
    if (plain)
        return static_cast<Next>(plainNext);
    if (kind == PREFILTER_SAMPLES)
        return static_cast<Next>(samplesNext);
#if defined(__x86_64__)
    bool avx2 = hasAvx2() && wanted() != WANT_SSE;
    if (kind == PREFILTER_PAIRS)
        return static_cast<Next>(avx2 ? pairsAvx2 : pairsSse2);
    if (kind == PREFILTER_NIBBLES && (avx2 || hasSsse3()))
        return static_cast<Next>(avx2 ? nibblesAvx2 : nibblesSsse3);
    if (kind == PREFILTER_GRAMS)
        return static_cast<Next>(avx2 ? gramsAvx2 : gramsNext);
    return static_cast<Next>(nullptr);
#else
    return static_cast<Next>(kind == PREFILTER_PAIRS   ? plainNext
                             : kind == PREFILTER_GRAMS ? gramsNext
                                                       : nullptr);
#endif
}

} // namespace

bool
prefilter_build(const Entered *t, size_t n, bool folding, bool wordStarts, unsigned how,
                Prefilter **out)
{
    *out = nullptr;
    size_t shortest = SIZE_MAX, longest = 0;
    for (size_t i = 0; i < n; i++) {
        shortest = std::min<size_t>(shortest, t[i].length);
        longest = std::max<size_t>(longest, t[i].length);
    }
    Prefilter *pf = static_cast<Prefilter *>(calloc(1, sizeof *pf));
    if (pf == nullptr)
        return false;
    bool plain = (how & PREFILTER_PLAIN) != 0 || wanted() == WANT_PLAIN;
    double odds = 0;
    pf->width = static_cast<unsigned>(std::min<size_t>(shortest, 3));
    if (countStarts(t, n, pf->width) <= PREFILTER_MOST_PAIRS) {
        buildPairs(pf, t, n, folding);
    } else {
        pf->width = static_cast<unsigned>(std::min<size_t>(shortest, 4));
        size_t starts = countStarts(t, n, pf->width);
        if (starts <= MOST_NIBBLE_STARTS) {
            buildNibbles(pf, t, n, starts, folding);
            odds = nibblesOdds(pf);
        }
        /* The nibbles test 32 positions in a dozen instructions, the grams
         * one in a few: the grams must let through several times fewer.
         * Where every term is long, the samples take the list instead of
         * the grams: they read a position in 4 or more, and their table's
         * fill bounds what they let through. */
        if (starts > MOST_NIBBLE_STARTS || odds > MOST_ODDS || chooseNext(pf->kind, plain) == nullptr) {
            Prefilter nibbles = *pf;
            memset(pf->nibbles, 0, sizeof pf->nibbles);
            memset(pf->buckets, 0, sizeof pf->buckets);
            memset(pf->first, 0, sizeof pf->first);
            double otherOdds = 0;
            bool built = true, sampled = false;
            if (shortest >= SAMPLE_LEAST) {
                built = buildSamples(pf, t, n, shortest, folding);
                sampled = built && samplesFilled(pf) <= 1 / MOST_SAMPLED;
                if (built && !sampled)
                    dropSamples(pf);
            }
            if (built && !sampled) {
                pf->width = static_cast<unsigned>(std::max<size_t>(2, std::min<size_t>(longest, MOST_GRAM_WIDTH)));
                built = buildGrams(pf, t, n, folding);
                otherOdds = built && shortest >= 2 ? gramsOdds(pf) : 1;
            }
            if (!built) {
                prefilter_free(pf);
                return false;
            }
            if (starts <= MOST_NIBBLE_STARTS && odds <= MOST_ODDS && odds <= NIBBLES_FASTER * otherOdds &&
                chooseNext(nibbles.kind, plain) != nullptr) {
                free(pf->grams);
                free(pf->offsets);
                *pf = nibbles;
            } else {
                odds = otherOdds;
            }
        }
    }
    auto next = chooseNext(pf->kind, plain);
    if ((how & PREFILTER_ALWAYS) == 0 && (odds > MOST_ODDS || next == nullptr)) {
        prefilter_free(pf);
        return true;
    }
    pf->next = next ? next : plainNext;
    pf->wordStarts = wordStarts;
    *out = pf;
    return true;
}

void
prefilter_free(Prefilter *pf)
{
    if (pf == nullptr)
        return;
    free(pf->grams);
    free(pf->offsets);
    free(pf);
}

size_t
prefilter_size(const Prefilter *pf)
{
    size_t grams = pf->grams != nullptr ? (size_t{1} << GRAM_BITS) * sizeof *pf->grams : 0;
    size_t samples = pf->offsets != nullptr ? size_t{1} << pf->bits : 0;
    return sizeof *pf + grams + samples;
}
