/*
 * scan_internal.h: what the files of the compiled scan share, private to
 * them: the index's terms compiled into a deterministic automaton over
 * byte classes, and the scans that run it over memory.
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
 * A scan therefore counts where it stands: before each byte whose class
 * lets an end count, and once at the end of the text, it adds 1 to the
 * counter of the state it is in (or of the output nearest on its chain;
 * see below). A term's count is then the sum of the counters of every
 * state whose failure chain passes through the term's state, which
 * scanner_total adds up once per text, deepest states first.
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
 * States are numbered breadth first, START and MIDDLE first, so that a
 * state's failure, always shallower, comes before it, and the children of
 * a state are numbered one after another: a state is told its children by
 * where they start and where those of the next state start.
 *
 * Next states come in two forms, chosen in scan_compile.cpp. Dense: each
 * state has a row of next states, one slot per class, and a state is
 * named by where its row starts, so that a step is one load and one add.
 * Sparse: only the shallowest states have rows; every other keeps the
 * class of the byte that leads to it, its first child and its failure, and
 * a step there looks for the byte's class among the state's children,
 * taking failures until it finds it or reaches a state with a row. A
 * sparse state takes 13 bytes, against 4 per class and 12 for a dense one.
 *
 * The counters: the dense form keeps one per state, as a scan's add then
 * needs no load beside the row's; the sparse form keeps one per state
 * where a term ends (an output), and a scan adds to that of the output
 * nearest on its state's failure chain, so that what a thread adds up in
 * grows with the list's terms, not its states.
 *
 * Where the terms begin with bytes a text holds rarely, a prefilter
 * (prefilter.h) lets a scan that stands at a root jump to the next
 * position where a term may begin, in either form: scan_compile.cpp
 * builds one where it pays, and scan_walk.h turns it off while its
 * candidates come too close together.
 */
#ifndef TERMCOUNT_SCAN_INTERNAL_H
#define TERMCOUNT_SCAN_INTERNAL_H

#include "prefilter.h"
#include "scan.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t NONE = UINT32_MAX;
constexpr uint32_t START = 0;   /* root: an occurrence may begin next */
constexpr uint32_t MIDDLE = 1;  /* root: it may not (never reached in mode any) */

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

/* What each state of the automaton holds, whatever its form. */
struct Node {
    uint32_t first;         /* its first child; its last is the next state's first less 1 */
    uint32_t fail;          /* its failure link; a root's is itself */
    uint32_t out;           /* the output nearest on its failure chain, itself
                               included, or 0 */
};

struct Scanner {
    ScanMode mode;
    size_t entries;         /* entries of the list, duplicates included */
    uint32_t classes;       /* row length */
    uint32_t states;        /* roots included */
    uint32_t rows;          /* states with a row: all, or the first in the sparse form */
    bool sparse;            /* the form */
    uint64_t divide;        /* dense: the multiplier that turns a row offset into its state */
    bool cuttable;          /* no entered term holds a line feed */
    unsigned char classOf[256];
    unsigned char counts[256];  /* 1 where an end counts before a byte of the class */
    uint32_t *next;         /* rows of `classes` slots: dense, row offsets; sparse, states */
    Node *nodes;            /* states + 1 of them; the last only ends the children */
    unsigned char *label;   /* sparse: the class of the byte that leads to each state */
    uint32_t outputs;       /* the states where a term ends, numbered 1 on breadth first */
    uint32_t *outEntry;     /* outputs + 1: the entry each output counts for (the
                               last of equal terms); [0] unused */
    uint32_t *outNext;      /* outputs + 1: the next output on its failure chain, or 0 */
    uint32_t *outState;     /* outputs + 1: its state */
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

/* A term to enter: its bytes, folded if asked, and its entry. */
struct Entered {
    const unsigned char *bytes;
    uint32_t length;        /* a term of 2^32 bytes would take more states than
                               can be numbered */
    uint32_t entry;
};

/* Whether the sorted terms `t[i - 1]` and `t[i]` are equal. */
bool sameTerm(const Entered *t, size_t i);

/* The line lookup of the sorted terms: each distinct term once, counting
 * for the last of its equals, and the hash of them. Returns false if
 * memory ran out. */
bool listLines(Scanner *sc, const Entered *t, size_t n);

/* The term that a whole line equals, or NONE. */
uint32_t lineTerm(const Scanner *sc, const unsigned char *line, size_t n);

/* Ends the line `st` follows: it counts if a term is exactly the line. */
void endLine(const Scanner *sc, ScanState *st, uint64_t *visits);

/* Mode line through the lookup: the line that an earlier block began is
 * followed to its end, each whole line is looked up, and the line the
 * block leaves unfinished is followed as far as it goes. */
void feedLines(const Scanner *sc, ScanState *st, const unsigned char *p, size_t size,
               uint64_t *visits);

/* The child of state `s` on class `c`, or NONE: its children's classes
 * are in increasing order. */
inline uint32_t
findChild(const Scanner *sc, uint32_t s, unsigned c)
{
    uint32_t lo = sc->nodes[s].first, hi = sc->nodes[s + 1].first;
    while (hi - lo > 8) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (sc->label[mid] < c)
            lo = mid + 1;
        else
            hi = mid + 1;
    }
    for (; lo < hi; lo++)
        if (sc->label[lo] >= c)
            return sc->label[lo] == c ? lo : NONE;
    return NONE;
}

/* The sparse form's step from state `at` on a byte of class `c`, for a
 * state without a row. */
uint32_t sparseNext(const Scanner *sc, uint32_t at, unsigned c);

/* Scans the `size` bytes at `p` in the sparse form from state `at`, as
 * scanner_feed does, and returns the state it ends in. */
uint32_t sparseFeed(const Scanner *sc, uint32_t at, const unsigned char *p, size_t size,
                    uint64_t *visits);

#endif
