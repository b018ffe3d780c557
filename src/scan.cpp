/*
 * scan.cpp: the index's terms compiled into a deterministic automaton over
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
 */
#include "scan.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t NONE = UINT32_MAX;
constexpr uint32_t START = 0;   /* root: an occurrence may begin next */
constexpr uint32_t MIDDLE = 1;  /* root: it may not (never reached in mode any) */

/* A block is scanned as two interleaved pieces when it is at least this
 * long: each step waits on a table load, and two independent walks keep
 * two loads in flight. Finding the cut costs a memchr, nothing beside a
 * block this long. */
constexpr size_t SPLIT = 64;

/* How many states ahead the compile asks for rows it will fill. */
constexpr size_t AHEAD = 8;

__extension__ typedef unsigned __int128 u128;

bool
isWordByte(unsigned b)
{
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}

unsigned
fold(unsigned b)
{
    return b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b;
}

} // namespace

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

namespace {

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
uint32_t
nameOf(const Scanner *sc, uint32_t s)
{
    return sc->rowOf ? s : s * sc->classes;
}

uint32_t
numberOf(const Scanner *sc, uint32_t at)
{
    return sc->rowOf ? at : Dense{sc->next, sc->divide}.state(at);
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

/* The eight bytes at `p`, or the `n` there are if fewer, with 0x20 set in
 * each if case is folded, so that a lower and an upper-case letter are one. */
inline uint64_t
word8(const unsigned char *p, size_t n, uint64_t fold)
{
    uint64_t w = 0;
    if (n >= 8)
        memcpy(&w, p, 8);
    else if (n > 0)
        memcpy(&w, p, n), fold >>= 8 * (8 - n);
    return w | (n > 0 ? fold : 0);
}

/* A hash of a line. The quick one takes its length and its first and last
 * eight bytes only, so that a line costs the same to look up whatever its
 * length; where the terms are too often alike there (see listLines), every
 * byte goes into it. */
inline uint64_t
lineHash(const Scanner *sc, const unsigned char *p, size_t n)
{
    uint64_t h = n * 0x9e3779b97f4a7c15u;
    if (!sc->lineWhole) {
        h = (h ^ word8(p, n, sc->lineFold)) * 0xbf58476d1ce4e5b9u;
        h = (h ^ (h >> 29) ^ word8(p + (n > 8 ? n - 8 : 0), n, sc->lineFold)) * 0x94d049bb133111ebu;
        return h ^ (h >> 32);
    }
    for (; n >= 8; p += 8, n -= 8) {
        h = (h ^ word8(p, 8, sc->lineFold)) * 0xbf58476d1ce4e5b9u;
        h ^= h >> 29;
    }
    h = (h ^ word8(p, n, sc->lineFold)) * 0x94d049bb133111ebu;
    return h ^ (h >> 32);
}

bool
sameLine(const Scanner *sc, const unsigned char *line, const unsigned char *term, size_t n)
{
    if (sc->lineFold == 0)
        return memcmp(line, term, n) == 0;
    for (size_t i = 0; i < n; i++)
        if (fold(line[i]) != term[i])
            return false;
    return true;
}

/* The term that a whole line equals, or NONE. */
inline uint32_t
lineTerm(const Scanner *sc, const unsigned char *line, size_t n)
{
    if (n == 0 || n > sc->longestLine)
        return NONE;
    uint64_t h = lineHash(sc, line, n);
    for (uint64_t i = h & sc->lineMask;; i = (i + 1) & sc->lineMask) {
        uint64_t slot = sc->lineSlots[i];
        if (slot == 0)
            return NONE;
        if (slot >> 32 != h >> 32)
            continue;
        uint32_t t = static_cast<uint32_t>(slot) - 1;
        const LineTerm &term = sc->lines[t];
        if (term.length == n && sameLine(sc, line, sc->lineBytes + term.at, n))
            return t;
    }
}

/* The byte of term `t` after its first `depth`, as the scan compares it;
 * -1 for a term of `depth` bytes, which sorts before those going on. */
inline int
byteAt(const Scanner *sc, uint32_t t, size_t depth)
{
    const LineTerm &term = sc->lines[t];
    return term.length > depth ? sc->lineBytes[term.at + depth] : -1;
}

/* The first of the terms [lo, hi), which begin alike for `depth` bytes,
 * whose next byte is not below `b`. */
uint32_t
firstFrom(const Scanner *sc, uint32_t lo, uint32_t hi, size_t depth, int b)
{
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (byteAt(sc, mid, depth) < b)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

/* Follows a line cut by a block boundary through the `n` bytes at `p`,
 * none a line feed: narrows the range of terms that begin with the line
 * so far, one byte at a time while more than one term is left, and
 * compares the rest at once when one is. */
void
extendLine(const Scanner *sc, ScanState *st, const unsigned char *p, size_t n)
{
    uint32_t lo = st->at, hi = st->end;
    size_t depth = st->depth;
    for (size_t i = 0; i < n && lo < hi; i++, depth++) {
        if (hi - lo == 1) {
            const LineTerm &term = sc->lines[lo];
            size_t rest = n - i;
            if (term.length < depth + rest ||
                !sameLine(sc, p + i, sc->lineBytes + term.at + depth, rest))
                lo = hi;
            depth += rest;
            break;
        }
        int b = sc->lineFold ? fold(p[i]) : p[i];
        lo = firstFrom(sc, lo, hi, depth, b);
        hi = firstFrom(sc, lo, hi, depth, b + 1);
    }
    if (lo >= hi && n > 0) {
        lo = hi = 0;
        depth = 1;  /* a line no term begins, and not at its start */
    }
    st->at = lo;
    st->end = hi;
    st->depth = depth;
}

/* Ends the line `st` follows: it counts if a term is exactly the line. */
void
endLine(const Scanner *sc, ScanState *st, uint64_t *visits)
{
    if (st->at < st->end && sc->lines[st->at].length == st->depth)
        visits[st->at]++;
    st->at = 0;
    st->end = sc->lineTerms;
    st->depth = 0;
}

/* Mode line through the lookup: the line that an earlier block began is
 * followed to its end, each whole line is looked up, and the line the
 * block leaves unfinished is followed as far as it goes. */
void
feedLines(const Scanner *sc, ScanState *st, const unsigned char *p, size_t size,
          uint64_t *visits)
{
    const unsigned char *end = p + size;
    if (st->depth > 0) {
        const unsigned char *lf = static_cast<const unsigned char *>(memchr(p, '\n', size));
        extendLine(sc, st, p, (lf ? lf : end) - p);
        if (lf == nullptr)
            return;
        endLine(sc, st, visits);
        p = lf + 1;
    }
    for (;;) {
        const unsigned char *lf = static_cast<const unsigned char *>(memchr(p, '\n', end - p));
        if (lf == nullptr)
            break;
        uint32_t t = lineTerm(sc, p, lf - p);
        if (t != NONE)
            visits[t]++;
        p = lf + 1;
    }
    extendLine(sc, st, p, end - p);
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

/*
 * Compiling.
 */

/* A term to enter: its bytes, folded if asked, and its entry. */
struct Entered {
    const unsigned char *bytes;
    size_t length;
    uint32_t entry;
};

bool
mayBegin(ScanMode mode, unsigned b)
{
    return mode == SCAN_ANY || (mode == SCAN_WORD ? isWordByte(b) : b != '\n');
}

/* Collects the terms `mode` can count, folded into `*folded` if asked, in
 * an order that puts equal terms side by side and a term right before the
 * terms it begins. Returns false if memory ran out. */
bool
enter(const TreeEntry *e, size_t count, ScanMode mode, bool folding, Entered **out,
      size_t *n, unsigned char **folded)
{
    size_t bytes = 0;
    *n = 0;
    *folded = nullptr;
    *out = static_cast<Entered *>(malloc((count ? count : 1) * sizeof **out));
    if (*out == nullptr)
        return false;
    for (size_t i = 0; i < count; i++)
        bytes += e[i].length;
    if (folding && (*folded = static_cast<unsigned char *>(malloc(bytes ? bytes : 1))) == nullptr)
        return false;
    unsigned char *f = *folded;
    for (size_t i = 0; i < count; i++) {
        if (e[i].length == 0 || e[i].text == nullptr || !mayBegin(mode, e[i].text[0]))
            continue;
        const unsigned char *t = e[i].text;
        if (folding) {
            for (size_t k = 0; k < e[i].length; k++)
                f[k] = static_cast<unsigned char>(fold(t[k]));
            t = f;
            f += e[i].length;
        }
        (*out)[(*n)++] = {t, e[i].length, static_cast<uint32_t>(i)};
    }
    std::sort(*out, *out + *n, [](const Entered &a, const Entered &b) {
        int r = memcmp(a.bytes, b.bytes, std::min(a.length, b.length));
        return r != 0 ? r < 0 : a.length < b.length;
    });
    return true;
}

/* Gives every byte its class; returns the number of classes. */
uint32_t
makeClasses(Scanner *sc, const Entered *t, size_t n, bool folding)
{
    bool used[256] = {};
    for (size_t i = 0; i < n; i++)
        for (size_t k = 0; k < t[i].length; k++)
            used[t[i].bytes[k]] = true;
    used[unsigned{'\n'}] = true;
    uint32_t classes = 0;
    for (unsigned b = 0; b < 256; b++)
        if (used[b])
            sc->classOf[b] = static_cast<unsigned char>(classes++);
    /* The bytes no term holds: one class for word bytes and one for the
     * rest, taken only if some byte falls in it. A mode that never asks
     * whether a byte is a word byte would do with one, but two cost a
     * column only. */
    int other[2] = {-1, -1};
    for (unsigned b = 0; b < 256; b++) {
        if (used[b] || (folding && b >= 'A' && b <= 'Z'))
            continue;
        int &c = other[isWordByte(b)];
        if (c < 0)
            c = static_cast<int>(classes++);
        sc->classOf[b] = static_cast<unsigned char>(c);
    }
    if (folding)
        for (unsigned b = 'A'; b <= 'Z'; b++)
            sc->classOf[b] = sc->classOf[fold(b)];
    return classes;
}

/* What a byte of each class means to the mode: whether an end counts
 * before it, and whether an occurrence may begin after it. */
void
classRules(Scanner *sc, bool *startsAfter)
{
    for (unsigned b = 0; b < 256; b++) {
        unsigned c = sc->classOf[b];
        bool word = isWordByte(b), lf = b == '\n';
        switch (sc->mode) {
        case SCAN_ANY:
            sc->counts[c] = 1;
            startsAfter[c] = true;
            break;
        case SCAN_WORD:
            sc->counts[c] = !word;
            startsAfter[c] = !word;
            break;
        case SCAN_LINE:
            sc->counts[c] = lf;
            startsAfter[c] = lf;
            break;
        }
    }
}

/* How many bytes the sorted terms `t[i - 1]` and `t[i]` begin with alike:
 * where `t[i]` leaves the trie path of the one before it. 0 for the first. */
size_t
sharedPrefix(const Entered *t, size_t i)
{
    size_t k = 0;
    if (i > 0)
        for (size_t m = std::min(t[i - 1].length, t[i].length);
             k < m && t[i - 1].bytes[k] == t[i].bytes[k];)
            k++;
    return k;
}

/* The trie's shape, from the sorted terms: its states (one per distinct
 * prefix, and the two roots) and its leaves (the terms no other goes on
 * from). */
void
trieShape(const Entered *t, size_t n, size_t *states, size_t *leaves)
{
    *states = 2;
    *leaves = 0;
    for (size_t i = 0; i < n; i++) {
        *states += t[i].length - sharedPrefix(t, i);
        bool goesOn = i + 1 < n && sharedPrefix(t, i + 1) == t[i].length;
        *leaves += !goesOn;
    }
}

/* Threads the sorted terms into the rows as a trie; every slot without a
 * child holds NONE. `rowOf` gets each state's row, or NONE for a leaf in
 * the shared form. The later of equal terms ends at their state. A term
 * goes on from where it leaves the one before it, whose states are kept
 * by depth in `path`, so that each state is walked to once. */
void
buildTrie(Scanner *sc, const Entered *t, size_t n, bool dense, uint32_t *path)
{
    uint32_t C = sc->classes, states = 2, rows = 2;
    std::fill(sc->next, sc->next + static_cast<size_t>(sc->rows) * C, NONE);
    std::fill(sc->term, sc->term + sc->states, 0);
    std::fill(sc->rowOf, sc->rowOf + sc->states, NONE);
    sc->rowOf[START] = START;
    sc->rowOf[MIDDLE] = MIDDLE;
    path[0] = START;
    for (size_t i = 0; i < n; i++) {
        size_t k = sharedPrefix(t, i);
        uint32_t s = path[k];
        for (; k < t[i].length; k++) {
            if (sc->rowOf[s] == NONE)
                sc->rowOf[s] = rows++;
            uint32_t *slot = &sc->next[static_cast<size_t>(sc->rowOf[s]) * C +
                                       sc->classOf[t[i].bytes[k]]];
            *slot = states++;
            if (dense)
                sc->rowOf[*slot] = rows++;
            s = path[k + 1] = *slot;
        }
        sc->term[s] = std::max(sc->term[s], t[i].entry + 1);
    }
}

/* The root that a byte of class `c` leaves the scan at when no term goes on. */
uint32_t
rootAfter(const bool *startsAfter, unsigned c)
{
    return startsAfter[c] ? START : MIDDLE;
}

/* Fills every row and failure link, the states taken by depth so that a
 * state's failure, always shallower, has its row complete first. A leaf
 * of the shared form takes its failure's row. */
void
link(Scanner *sc, const bool *startsAfter)
{
    uint32_t C = sc->classes;
    uint32_t *next = sc->next, *order = sc->order;
    auto row = [&](uint32_t s) { return &next[static_cast<size_t>(sc->rowOf[s]) * C]; };
    size_t head, tail = 0;

    order[tail++] = START;
    if (sc->mode != SCAN_ANY)
        order[tail++] = MIDDLE;
    head = tail;
    sc->fail[START] = START;
    sc->fail[MIDDLE] = MIDDLE;
    for (unsigned c = 0; c < C; c++) {
        uint32_t root = rootAfter(startsAfter, c);
        row(MIDDLE)[c] = root;
        uint32_t &child = row(START)[c];
        if (child == NONE) {
            child = root;
        } else {
            sc->fail[child] = root;
            order[tail++] = child;
        }
    }
    while (head < tail) {
        /* Rows lie all over the table: ask for those of a state a few
         * places on while this one is filled. */
        if (head + AHEAD < tail) {
            uint32_t ahead = order[head + AHEAD];
            for (uint32_t s : {ahead, sc->fail[ahead]})
                if (sc->rowOf[s] != NONE)
                    for (size_t b = 0; b < C * sizeof *next; b += 64)
                        __builtin_prefetch(reinterpret_cast<const char *>(row(s)) + b);
        }
        uint32_t s = order[head++];
        if (sc->rowOf[s] == NONE) {
            sc->rowOf[s] = sc->rowOf[sc->fail[s]];
            continue;
        }
        const uint32_t *failRow = row(sc->fail[s]);
        uint32_t *own = row(s);
        for (unsigned c = 0; c < C; c++) {
            if (own[c] == NONE) {
                own[c] = failRow[c];
            } else {
                sc->fail[own[c]] = failRow[c];
                order[tail++] = own[c];
            }
        }
    }
    sc->reached = static_cast<uint32_t>(tail);
}

void
linkOutputs(Scanner *sc)
{
    sc->firstOut[MIDDLE] = NONE;
    for (uint32_t i = 0; i < sc->reached; i++) {
        uint32_t s = sc->order[i];
        sc->firstOut[s] = sc->term[s] != 0 ? s : s == sc->fail[s] ? NONE : sc->firstOut[sc->fail[s]];
    }
}

/* Whether more than a few of the terms hash alike by their ends alone:
 * a line with those ends would be compared with each of them, so that its
 * cost would grow with the list. */
bool
alikeAtEnds(const Scanner *sc, uint64_t *hashes)
{
    for (uint32_t t = 0; t < sc->lineTerms; t++)
        hashes[t] = lineHash(sc, sc->lineBytes + sc->lines[t].at, sc->lines[t].length);
    std::sort(hashes, hashes + sc->lineTerms);
    for (uint32_t t = 4; t < sc->lineTerms; t++)
        if (hashes[t] == hashes[t - 4])
            return true;
    return false;
}

/* The line lookup of the sorted terms: each distinct term once, counting
 * for the last of its equals, and the hash of them. Returns false if
 * memory ran out. */
bool
listLines(Scanner *sc, const Entered *t, size_t n)
{
    size_t bytes = 0;
    for (size_t i = 0; i < n; i++)
        bytes += t[i].length;
    uint64_t slots = 16;
    while (slots < 2 * n)
        slots *= 2;
    sc->lineMask = slots - 1;
    sc->lineSlots = static_cast<uint64_t *>(calloc(slots, sizeof *sc->lineSlots));
    sc->lines = static_cast<LineTerm *>(malloc((n + 1) * sizeof *sc->lines));
    sc->lineBytes = static_cast<unsigned char *>(malloc(bytes + 1));
    if (!sc->lineSlots || !sc->lines || !sc->lineBytes)
        return false;
    for (size_t i = 0; i < n; i++) {
        if (i > 0 && t[i - 1].length == t[i].length && sharedPrefix(t, i) == t[i].length) {
            LineTerm &last = sc->lines[sc->lineTerms - 1];
            last.entry = std::max(last.entry, t[i].entry);
            continue;
        }
        sc->lines[sc->lineTerms++] = {sc->lineByteCount, t[i].length, t[i].entry};
        memcpy(sc->lineBytes + sc->lineByteCount, t[i].bytes, t[i].length);
        sc->lineByteCount += t[i].length;
        sc->longestLine = std::max(sc->longestLine, t[i].length);
    }
    /* The slots, empty still, hold the hashes for the look. */
    sc->lineWhole = alikeAtEnds(sc, sc->lineSlots);
    std::fill(sc->lineSlots, sc->lineSlots + slots, 0);
    for (uint32_t id = 0; id < sc->lineTerms; id++) {
        uint64_t h = lineHash(sc, sc->lineBytes + sc->lines[id].at, sc->lines[id].length);
        uint64_t i = h & sc->lineMask;
        while (sc->lineSlots[i] != 0)
            i = (i + 1) & sc->lineMask;
        sc->lineSlots[i] = (h >> 32 << 32) | (id + 1);
    }
    return true;
}

/* Names the states as the scan does: in the dense form each slot becomes
 * its state's row offset; in the shared form each state's row becomes an
 * offset. */
void
finishRows(Scanner *sc, bool dense)
{
    size_t slots = static_cast<size_t>(sc->rows) * sc->classes;
    if (dense) {
        for (size_t i = 0; i < slots; i++)
            sc->next[i] *= sc->classes;
        free(sc->rowOf);
        sc->rowOf = nullptr;
        sc->divide = UINT64_MAX / sc->classes + 1;
    } else {
        for (size_t s = 0; s < sc->states; s++)
            sc->rowOf[s] *= sc->classes;
    }
}

/* Whether the dense form takes no more than the index the terms came from:
 * a node and an entry per term, and a 2 KiB child table per node with
 * children. */
bool
denseFits(size_t states, size_t leaves, size_t classes, size_t textBytes)
{
    size_t withChildren = states - leaves;
    size_t index = states * 16 + withChildren * 2048 + leaves * 16 + textBytes;
    return states * classes <= UINT32_MAX && states * (classes * 4 + 16) <= index;
}

/* Takes the arrays; false if memory ran out. */
bool
takeParts(Scanner *sc)
{
    size_t slots = static_cast<size_t>(sc->rows) * sc->classes;
    sc->next = static_cast<uint32_t *>(malloc(slots * sizeof *sc->next));
    sc->rowOf = static_cast<uint32_t *>(malloc(sc->states * sizeof *sc->rowOf));
    sc->fail = static_cast<uint32_t *>(malloc(sc->states * sizeof *sc->fail));
    sc->order = static_cast<uint32_t *>(malloc(sc->states * sizeof *sc->order));
    sc->term = static_cast<uint32_t *>(malloc(sc->states * sizeof *sc->term));
    sc->firstOut = static_cast<uint32_t *>(malloc(sc->states * sizeof *sc->firstOut));
    return sc->next && sc->rowOf && sc->fail && sc->order && sc->term && sc->firstOut;
}

/* Builds the automaton of the sorted terms into `sc`. Returns false if
 * memory ran out or the states cannot be named in 32 bits. */
bool
build(Scanner *sc, const Entered *terms, size_t n, bool folding, bool compact,
      size_t textBytes)
{
    sc->cuttable = true;
    for (size_t i = 0; i < n; i++)
        if (memchr(terms[i].bytes, '\n', terms[i].length) != nullptr)
            sc->cuttable = false;
    if (sc->entries >= UINT32_MAX)
        return false;
    if (sc->mode == SCAN_LINE && sc->cuttable) {
        sc->lineFold = folding ? 0x2020202020202020u : 0;
        return listLines(sc, terms, n);
    }
    sc->classes = makeClasses(sc, terms, n, folding);
    bool startsAfter[256] = {};
    classRules(sc, startsAfter);
    size_t states, leaves;
    trieShape(terms, n, &states, &leaves);
    bool dense = !compact && denseFits(states, leaves, sc->classes, textBytes);
    size_t rows = dense ? states : states - leaves;
    if (states >= UINT32_MAX || rows * sc->classes > UINT32_MAX)
        return false;
    sc->states = static_cast<uint32_t>(states);
    sc->rows = static_cast<uint32_t>(rows);
    if (!takeParts(sc))
        return false;
    size_t longest = 0;
    for (size_t i = 0; i < n; i++)
        longest = std::max(longest, terms[i].length);
    uint32_t *path = static_cast<uint32_t *>(malloc((longest + 1) * sizeof *path));
    if (path == nullptr)
        return false;
    buildTrie(sc, terms, n, dense, path);
    free(path);
    link(sc, startsAfter);
    linkOutputs(sc);
    finishRows(sc, dense);
    return true;
}

void
freeParts(Scanner *sc)
{
    free(sc->lineSlots);
    free(sc->lines);
    free(sc->lineBytes);
    free(sc->next);
    free(sc->rowOf);
    free(sc->fail);
    free(sc->order);
    free(sc->term);
    free(sc->firstOut);
}

} // namespace

Fault
scanner_compileTerms(const TreeEntry *entries, size_t count, ScanMode mode,
                     unsigned flags, Scanner **out)
{
    *out = nullptr;
    Scanner *sc = static_cast<Scanner *>(calloc(1, sizeof *sc));
    Entered *terms = nullptr;
    unsigned char *folded = nullptr;
    size_t n = 0, textBytes = 0;
    bool folding = (flags & SCAN_IGNORE_CASE) != 0;
    bool built = false;

    for (size_t i = 0; i < count; i++)
        textBytes += entries[i].length;
    if (sc != nullptr && enter(entries, count, mode, folding, &terms, &n, &folded)) {
        sc->mode = mode;
        sc->entries = count;
        built = build(sc, terms, n, folding, (flags & SCAN_COMPACT) != 0, textBytes);
    }
    free(terms);
    free(folded);
    if (!built) {
        scanner_free(sc);
        return {FAULT_MEMORY, 0};
    }
    *out = sc;
    return {FAULT_NONE, 0};
}

Fault
scanner_compile(const Tree *tree, ScanMode mode, unsigned flags, Scanner **out)
{
    size_t count;
    const TreeEntry *entries = tree_getEntryList(tree, &count);
    return scanner_compileTerms(entries, count, mode, flags, out);
}

void
scanner_free(Scanner *sc)
{
    if (sc == nullptr)
        return;
    freeParts(sc);
    free(sc);
}

size_t
scanner_size(const Scanner *sc)
{
    if (sc->lines != nullptr)
        return sizeof *sc + (sc->lineMask + 1) * sizeof *sc->lineSlots +
               sc->lineTerms * sizeof *sc->lines + sc->lineByteCount;
    size_t perState = 4 + (sc->rowOf ? 1 : 0);
    return sizeof *sc + static_cast<size_t>(sc->rows) * sc->classes * sizeof(uint32_t) +
           static_cast<size_t>(sc->states) * perState * sizeof(uint32_t);
}

size_t
scanner_entryCount(const Scanner *sc)
{
    return sc->entries;
}

size_t
scanner_visitCount(const Scanner *sc)
{
    return sc->lines != nullptr ? sc->lineTerms : sc->states;
}

bool
scanner_cuttable(const Scanner *sc)
{
    return sc->cuttable;
}

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
