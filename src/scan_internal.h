/*
 * scan_internal.h: what the compiler and the scans share: the Scanner, the
 * index's terms compiled into a deterministic automaton over byte classes
 * (or a line lookup), and the helpers both sides use.
 *
 * The automaton is the Aho-Corasick one, with two roots where the index's
 * searches have a start rule: START, where an occurrence may begin next,
 * and MIDDLE, where it may not. Which one follows a byte depends on the
 * byte alone:
 *
 *   mode  root after a byte b               an end counts before a byte b
 *   any   START                             always
 *   word  START if b is not a word byte     b is not a word byte
 *   line  START if b is a line feed         b is a line feed
 *
 * and only terms whose first byte may begin an occurrence are entered (a
 * word byte in mode word, anything but a line feed in mode line). A
 * state stands for the longest suffix of the text seen that is a prefix of
 * a term and began where an occurrence may begin; its failure link is the
 * next shorter such suffix, or the root that the suffix's last byte
 * leaves. So the terms that end at a position with a valid start are
 * those on the failure chain of the state reached there.
 *
 * A scan therefore keeps one counter per state: before each byte whose
 * class lets an end count, and once at the end of the text, it adds 1 to
 * the counter of the state it is in. A term's count is then the sum of the
 * counters of every state whose failure chain passes through the term's
 * state, which scanner_total adds up once per text, deepest states first.
 *
 * In mode line, with no line feed in any term, there is no automaton at
 * all: a line counts if it equals a term. A line that the scan sees whole
 * is looked up in a hash of the terms. A line that a block boundary cuts
 * is followed through the terms in sorted order instead, its first bytes
 * narrowing the range of terms that begin with them, so that what a scan
 * carries from block to block is that range and the line's length so far.
 * The counters are then one per distinct term. (A term with a line feed
 * spans lines, and takes the automaton.)
 *
 * Bytes are mapped to classes first: every byte that occurs in a term has
 * a class of its own, a line feed always does, and the other bytes fall
 * into a word class and a non-word class; with SCAN_IGNORE_CASE an
 * upper-case letter takes the class of its lower-case one.
 *
 * The rows of next states, one slot per class, come in two forms. Dense:
 * each state has a row, and a state is named by where its row starts, so
 * that a step is one load and one add. Shared, where the dense rows would
 * take more than the index they come from (many terms ending in leaves,
 * many classes): a state without children moves as its failure does, so
 * it shares that state's row, found through one more load per step. Rows
 * of at most 256 four-byte slots for the states with children, against
 * the index's 2 KiB child tables, keep the shared form smaller than the
 * index for every list.
 *
 * Where the terms begin with bytes a text holds rarely, a prefilter
 * (prefilter.h) lets a scan that stands at a root jump to the next
 * position where a term may begin: scan_compile.cpp builds one where it
 * pays, and scan_automaton.cpp turns it off while its candidates come
 * too close together.
 */
#ifndef TERMCOUNT_SCAN_INTERNAL_H
#define TERMCOUNT_SCAN_INTERNAL_H

#include "prefilter.h"
#include "scan.h"

#include <cstddef>
#include <algorithm>
#include <cstdint>

constexpr uint32_t NONE = UINT32_MAX;
constexpr uint32_t START = 0;   /* root: an occurrence may begin next */
constexpr uint32_t MIDDLE = 1;  /* root: it may not (never reached in mode any) */

__extension__ typedef unsigned __int128 u128;

inline bool
isWordByte(unsigned b)
{
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}

inline unsigned
fold(unsigned b)
{
    return b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b;
}

struct Scanner {
    ScanMode mode;
    size_t entries;         /* entries of the list, duplicates included */
    uint32_t classes;       /* row length */
    uint32_t states;        /* roots included */
    uint32_t rows;
    uint64_t divide;        /* dense: the multiplier that turns a row offset into its state */
    bool cuttable;          /* no entered term holds a line feed */
    unsigned char classOf[256];
    unsigned char counts[256];  /* 1 where an end counts before a byte of the class */
    uint32_t *next;         /* rows of `classes` slots: dense, row offsets; shared, states */
    uint32_t *rowOf;        /* shared: where each state's row starts; dense: null */
    uint32_t *fail;         /* failure link of each state; a root's is itself */
    uint32_t *order;        /* the states reached, by depth, roots first */
    uint32_t reached;       /* states in order */
    uint32_t *term;         /* entry index + 1 of the term ending at each state; 0: none */
    uint32_t *firstOut;     /* nearest state with a term on each state's chain, itself included */
    struct Prefilter *prefilter;    /* where an occurrence may begin, or null: the
                                       automaton reads every byte */

    /* A line lookup, in place of the automaton: the distinct terms in
     * sorted order, and a hash of them in open addressing. */
    struct LineTerm *lines;
    uint32_t lineTerms;
    unsigned char *lineBytes;   /* folded if SCAN_IGNORE_CASE */
    size_t lineByteCount;
    uint64_t *lineSlots;    /* lineMask + 1 slots: the top half of a term's hash
                               and its number + 1, or 0 */
    uint64_t lineMask;
    bool lineWhole;         /* hash every byte of a line */
    size_t longestLine;
    uint64_t lineFold;      /* 0x20 in every byte if case is folded, else 0 */
};

struct LineTerm {
    uint64_t at;            /* where its bytes start in lineBytes */
    uint64_t length;
    uint32_t entry;         /* the entry it counts for: the last of equal terms */
};
/*
 * The two forms, as the scan names a state: dense by its row offset,
 * shared by its number. `row` gives where the state's row starts, `state`
 * its number, for its counter.
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

struct Shared {
    const uint32_t *next;
    const uint32_t *rowOf;
    uint32_t row(uint32_t at) const { return rowOf[at]; }
    uint32_t state(uint32_t at) const { return at; }
};

/* How the scan names the state numbered `s`. */
inline uint32_t
nameOf(const Scanner *sc, uint32_t s)
{
    return sc->rowOf ? s : s * sc->classes;
}

/* The number of the state the scan names `at`, for its counter. */
inline uint32_t
numberOf(const Scanner *sc, uint32_t at)
{
    return sc->rowOf ? at : Dense{sc->next, sc->divide}.state(at);
}

/* A term to enter: its bytes, folded if asked, and its entry. */
struct Entered {
    const unsigned char *bytes;
    size_t length;
    uint32_t entry;
};

/* How many bytes the sorted terms `t[i - 1]` and `t[i]` begin with alike:
 * where `t[i]` leaves the trie path of the one before it. 0 for the first. */
inline size_t
sharedPrefix(const Entered *t, size_t i)
{
    size_t k = 0;
    if (i > 0)
        for (size_t m = std::min(t[i - 1].length, t[i].length);
             k < m && t[i - 1].bytes[k] == t[i].bytes[k];)
            k++;
    return k;
}

/*
 * The line lookup (scan_lines.cpp).
 */

/* Fills the line lookup of the `n` sorted terms into `sc`. Returns false
 * if memory ran out. */
bool listLines(Scanner *sc, const Entered *t, size_t n);

/* Scans `size` bytes at `p` after what `st` has seen, adding a visit for
 * each line that equals a term. */
void feedLines(const Scanner *sc, ScanState *st, const unsigned char *p, size_t size,
               uint64_t *visits);

/* Ends the line `st` follows: it counts if a term is exactly the line. */
void endLine(const Scanner *sc, ScanState *st, uint64_t *visits);

/* scanner_matches for the line lookup. */
void matchLines(const Scanner *sc, const unsigned char *p, size_t size, ScanHitFn hit,
                void *ctx);

#endif
