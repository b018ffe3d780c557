/*
 * scan_compile.cpp: the index's terms compiled into the automaton of
 * scan_internal.h, or into the line lookup, and what a Scanner tells of
 * itself.
 *
 * The compile never holds more than one form's rows. It sorts the terms,
 * reads the trie's shape from them and chooses the form, then grows the
 * trie breadth first, each state's children from the run of sorted terms
 * that share its prefix, with the failure links, the outputs and the rows
 * (of every state in the dense form, of the shallowest in the sparse one)
 * as it goes, in time linear in the list's bytes after the sort: a
 * failure link is looked up in the rows of the states above, filled by
 * then, and only below them among the children of sparse states.
 */
#include "scan_internal.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

/* The compile reads the clock after this many units of work (a state, a
 * term, a compared pair: some tens of nanoseconds each), and asks
 * keepGoing when a tenth of a second has passed. */
constexpr unsigned TICKS = 1 << 14;

/* A compile's calls to keepGoing. */
struct Poll {
    ScanKeepGoingFn keepGoing;  /* null: never asked */
    void *ctx;
    unsigned work;          /* units since the clock was last read */
    std::chrono::steady_clock::time_point next;  /* when to ask again */

    /* Notes `units` of work done; true if the compile is to stop. */
    bool stop(size_t units = 1)
    {
        if (keepGoing == nullptr)
            return false;
        work += static_cast<unsigned>(std::min<size_t>(units, TICKS));
        if (work < TICKS)
            return false;
        work = 0;
        auto now = std::chrono::steady_clock::now();
        if (now < next)
            return false;
        next = now + std::chrono::milliseconds(100);
        return !keepGoing(ctx, 0, 0);
    }

    /* Asks at once: a compile asks as it starts. */
    bool stopNow()
    {
        work = TICKS;
        next = std::chrono::steady_clock::now();
        return stop(0);
    }
};

constexpr Fault NO_FAULT = {FAULT_NONE, 0};
constexpr Fault OUT_OF_MEMORY = {FAULT_MEMORY, 0};
constexpr Fault STOPPED = {FAULT_STOPPED, 0};
constexpr Fault TOO_MANY = {FAULT_LIMIT, 0};

bool
mayBegin(ScanMode mode, unsigned b)
{
    return mode == SCAN_ANY || (mode == SCAN_WORD ? isWordByte(b) : b != '\n');
}

bool
before(const Entered &a, const Entered &b)
{
    int r = memcmp(a.bytes, b.bytes, std::min(a.length, b.length));
    return r != 0 ? r < 0 : a.length < b.length;
}

/* Merges the sorted runs of `n` and `m` terms at `a` and `b` into `to`. */
bool
mergeRuns(const Entered *a, size_t n, const Entered *b, size_t m, Entered *to, Poll *poll)
{
    size_t i = 0, j = 0;
    while (i < n && j < m) {
        *to++ = before(b[j], a[i]) ? b[j++] : a[i++];
        if (poll->stop())
            return false;
    }
    std::copy(a + i, a + n, to);
    std::copy(b + j, b + m, to + (n - i));
    return true;
}

/* Sorts the `n` terms at `t`, with `spare` room for as many: runs of RUN
 * sorted apart, then merged in passes, so that keepGoing is asked all
 * along. Returns false if it was told to stop. */
bool
sortTerms(Entered *t, size_t n, Entered *spare, Poll *poll)
{
    constexpr size_t RUN = 1024;
    for (size_t i = 0; i < n; i += RUN) {
        std::sort(t + i, t + std::min(i + RUN, n), before);
        if (poll->stop(RUN * 10))
            return false;
    }
    Entered *from = t, *to = spare;
    for (size_t w = RUN; w < n; w *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * w) {
            size_t mid = std::min(lo + w, n), hi = std::min(lo + 2 * w, n);
            if (!mergeRuns(from + lo, mid - lo, from + mid, hi - mid, to + lo, poll))
                return false;
        }
        std::swap(from, to);
    }
    if (from != t)
        std::copy(from, from + n, t);
    return true;
}

/* Copies the sorted terms' bytes into `*packed`, one after another, and
 * points the terms there: the trie grows a depth at a time, reading a byte
 * of every term at each, and so reads through that memory in order. */
bool
pack(Entered *t, size_t n, unsigned char **packed)
{
    size_t bytes = 0;
    for (size_t i = 0; i < n; i++)
        bytes += t[i].length;
    unsigned char *p = static_cast<unsigned char *>(malloc(bytes ? bytes : 1));
    if (p == nullptr)
        return false;
    unsigned char *to = p;
    for (size_t i = 0; i < n; i++) {
        memcpy(to, t[i].bytes, t[i].length);
        t[i].bytes = to;
        to += t[i].length;
    }
    free(*packed);
    *packed = p;
    return true;
}

/* Collects the terms `mode` can count, folded if asked, in an order that
 * puts equal terms side by side and a term right before the terms it
 * begins, their bytes in `*folded` in that order. */
Fault
enter(const TreeEntry *e, size_t count, ScanMode mode, bool folding, Entered **out,
      size_t *n, unsigned char **folded, Poll *poll)
{
    size_t bytes = 0;
    *n = 0;
    for (size_t i = 0; i < count; i++) {
        if (e[i].length > UINT32_MAX)
            return TOO_MANY;
        bytes += e[i].length;
    }
    *out = static_cast<Entered *>(malloc((count ? count : 1) * sizeof **out));
    if (*out == nullptr)
        return OUT_OF_MEMORY;
    if (folding && (*folded = static_cast<unsigned char *>(malloc(bytes ? bytes : 1))) == nullptr)
        return OUT_OF_MEMORY;
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
        (*out)[(*n)++] = {t, static_cast<uint32_t>(e[i].length), static_cast<uint32_t>(i)};
        if (poll->stop())
            return STOPPED;
    }
    Entered *spare = static_cast<Entered *>(malloc((*n ? *n : 1) * sizeof *spare));
    if (spare == nullptr)
        return OUT_OF_MEMORY;
    bool sorted = sortTerms(*out, *n, spare, poll);
    free(spare);
    if (!sorted)
        return STOPPED;
    return pack(*out, *n, folded) ? NO_FAULT : OUT_OF_MEMORY;
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

} // namespace

bool
sameTerm(const Entered *t, size_t i)
{
    return t[i - 1].length == t[i].length &&
           memcmp(t[i - 1].bytes, t[i].bytes, t[i].length) == 0;
}

namespace {

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

/* How many depths the compile notes where they start, for the choice of
 * rows: the sparse form never has rows deeper. */
constexpr size_t DEPTHS = 32;

/* The trie's shape, from the sorted terms, before it is grown. */
struct Shape {
    size_t states;          /* one per distinct prefix, and the two roots */
    size_t leaves;          /* the terms no other goes on from */
    size_t outputs;         /* the distinct terms */
    size_t depthStart[DEPTHS + 1];  /* the first state of each depth, as the
                                       states are numbered; `states` past
                                       the deepest */
};

bool
trieShape(const Entered *t, size_t n, Shape *shape, Poll *poll)
{
    size_t perDepth[DEPTHS + 1] = {};
    *shape = {2, 0, 0, {}};
    for (size_t i = 0; i < n; i++) {
        size_t shared = sharedPrefix(t, i);
        shape->states += t[i].length - shared;
        for (size_t d = shared + 1; d <= std::min<size_t>(t[i].length, DEPTHS); d++)
            perDepth[d]++;
        bool goesOn = i + 1 < n && sharedPrefix(t, i + 1) == t[i].length;
        shape->leaves += !goesOn;
        shape->outputs += shared < t[i].length || (i > 0 && t[i - 1].length != t[i].length) || i == 0;
        if (poll->stop(t[i].length))
            return false;
    }
    shape->depthStart[0] = START;
    shape->depthStart[1] = 2;
    for (size_t d = 1; d < DEPTHS; d++)
        shape->depthStart[d + 1] = shape->depthStart[d] + perDepth[d];
    return true;
}

/* The root that a byte of class `c` leaves the scan at when no term goes on. */
uint32_t
rootAfter(const bool *startsAfter, unsigned c)
{
    return startsAfter[c] ? START : MIDDLE;
}

/* Where the trie leads from state `s` on class `c`, taking failures: the
 * next state of the automaton, from the states grown so far, whose rows
 * (those it has, the roots' among them) are filled. */
uint32_t
nextState(const Scanner *sc, uint32_t s, unsigned c)
{
    for (;;) {
        if (s < sc->rows)
            return sc->next[static_cast<size_t>(s) * sc->classes + c];
        uint32_t child = findChild(sc, s, c);
        if (child != NONE)
            return child;
        s = sc->nodes[s].fail;
    }
}

/* Fills the row of state `s`, whose children are [first, end): its
 * failure's row, always shallower and so filled first, with the state's
 * own children put in. */
void
fillRow(Scanner *sc, uint32_t s, uint32_t first, uint32_t end, const bool *startsAfter)
{
    uint32_t C = sc->classes;
    uint32_t *row = sc->next + static_cast<size_t>(s) * C;
    if (s == START || s == MIDDLE) {
        for (unsigned c = 0; c < C; c++)
            row[c] = rootAfter(startsAfter, c);
    } else {
        memcpy(row, sc->next + static_cast<size_t>(sc->nodes[s].fail) * C, C * sizeof *row);
    }
    for (uint32_t k = first; k < end; k++)
        row[sc->label[k]] = k;
}

/* The terms [lo, hi) of the sorted list: those that begin with a state's
 * bytes. */
struct Range {
    uint32_t lo, hi;
};

/* The trie's growth, a depth at a time. */
struct Growth {
    Scanner *sc;
    const Entered *t;
    const bool *startsAfter;
    Range *level;           /* the ranges of the states of this depth, in order */
    Range *below;           /* those of the next depth, as they are made */
    size_t belowCount;
    uint32_t made;          /* states numbered so far */
};

/* Makes the child of state `s` (of depth `depth`) that the terms [lo, hi)
 * go on to, all with the same byte after `depth`: its class, failure and
 * output, and its range for the next depth. */
void
makeChild(Growth *g, uint32_t s, size_t depth, uint32_t lo, uint32_t hi)
{
    Scanner *sc = g->sc;
    uint32_t child = g->made++;
    unsigned c = sc->classOf[g->t[lo].bytes[depth]];
    uint32_t fail = s == START ? rootAfter(g->startsAfter, c) : nextState(sc, sc->nodes[s].fail, c);
    sc->label[child] = static_cast<unsigned char>(c);
    sc->nodes[child].fail = fail;
    sc->nodes[child].out = sc->nodes[fail].out;
    /* The terms that end here come first; the last listed of them counts. */
    uint32_t entry = 0, i = lo;
    for (; i < hi && g->t[i].length == depth + 1; i++)
        entry = std::max(entry, g->t[i].entry);
    if (i > lo) {
        uint32_t r = ++sc->outputs;
        sc->outEntry[r] = entry;
        sc->outNext[r] = sc->nodes[fail].out;
        sc->outState[r] = child;
        sc->nodes[child].out = r;
    }
    g->below[g->belowCount++] = {lo, hi};
}

/* Makes the children of state `s`, of depth `depth`, over its terms `r`. */
void
makeChildren(Growth *g, uint32_t s, size_t depth, Range r)
{
    g->sc->nodes[s].first = g->made;
    uint32_t i = r.lo;
    while (i < r.hi && g->t[i].length == depth)
        i++;
    while (i < r.hi) {
        unsigned char b = g->t[i].bytes[depth];
        uint32_t j = i + 1;
        while (j < r.hi && g->t[j].bytes[depth] == b)
            j++;
        makeChild(g, s, depth, i, j);
        i = j;
    }
}

/* Grows the trie of the `n` sorted terms breadth first into sc->nodes,
 * sc->label, the outputs and the rows of the first sc->rows states, with
 * `level` and `below` room for the ranges of a depth (no more than `n`).
 * Returns false if told to stop. */
bool
growTrie(Scanner *sc, const Entered *t, size_t n, const bool *startsAfter,
         Range *level, Range *below, Poll *poll)
{
    Growth g = {sc, t, startsAfter, level, below, 0, 2};
    sc->nodes[START] = {0, START, 0};
    sc->nodes[MIDDLE] = {0, MIDDLE, 0};
    level[0] = {0, static_cast<uint32_t>(n)};
    level[1] = {0, 0};
    size_t width = 2;
    uint32_t s = START;
    for (size_t depth = 0; width > 0; depth++) {
        g.belowCount = 0;
        for (size_t w = 0; w < width; w++, s++) {
            makeChildren(&g, s, depth, g.level[w]);
            if (s < sc->rows)
                fillRow(sc, s, sc->nodes[s].first, g.made, startsAfter);
            if (poll->stop(g.level[w].hi - g.level[w].lo + 1 + (s < sc->rows ? sc->classes / 4 : 0)))
                return false;
        }
        std::swap(g.level, g.below);
        width = g.belowCount;
    }
    sc->nodes[sc->states].first = sc->states;
    return true;
}

/* Names the states of the dense form as its scan does, by where their
 * rows start. */
void
nameByRows(Scanner *sc)
{
    size_t slots = static_cast<size_t>(sc->rows) * sc->classes;
    for (size_t i = 0; i < slots; i++)
        sc->next[i] *= sc->classes;
    sc->divide = UINT64_MAX / sc->classes + 1;
    free(sc->label);
    sc->label = nullptr;
}

/* The bytes of the index the terms came from (1.3's form, the program's):
 * a node per state, a 2 KiB child table per state with children, an entry
 * and the bytes per term. */
size_t
indexBytes(size_t states, size_t leaves, size_t textBytes)
{
    return states * 16 + (states - leaves) * 2048 + leaves * 16 + textBytes;
}

/*
 * The choice of form, one thread counting the bench's 258 MiB text in mode
 * any (bench/count_bench with COUNT_BENCH_FORM; a shared 2-core machine
 * under load, the count the median of five runs on the domain names):
 *
 *   list                      dense: size, compile, count    sparse: size, compile, count
 *   104,078 words               55 MiB   0.10 s   1.6 s        4.7 MiB  0.04 s   3.1 s
 *   10,000 words, mode word     11 MiB   0.01 s   0.8 s        0.8 MiB  0.01 s   2.2 s
 *   200,000 40-digit hex       611 MiB   1.0 s    0.50 s       104 MiB  0.5 s    0.48 s
 *   1,000,000 domain names    1660 MiB   2.4 s    0.92 s       150 MiB  1.3 s    1.17 s
 *   200,000 20-byte binary    3619 MiB   3.4 s    0.81 s       108 MiB  0.3 s    0.99 s
 *
 * Where the rows are small enough to stay in the caches, the dense form
 * counts two to three times as fast for ten times the memory, which is
 * little beside the index. Past a few hundred MiB every step misses the
 * caches in either form: the dense form takes 6 to 34 times the memory
 * and 2 to 10 times the compile for a count at most 1.3 times as fast. So
 * the dense form is taken where it takes at most DENSE_MOST, and where the
 * compile's peak with it (its rows, the trie they are filled beside and
 * the sorted terms) stays within what the index of the terms takes; the
 * sparse form everywhere else.
 */
constexpr size_t DENSE_MOST = size_t{256} << 20;

/* The sparse form's rows take at least an eighth of its states' bytes: on
 * the million domain names that is the 52,000 states of depth 3 or less
 * and some of depth 4, and 91% of the count's steps start from a state
 * with a row. */
constexpr size_t ROWS_SHARE = 8;

/* The states, from the roots down, of the depths at least half as full as
 * they could be: each holds half the states its depth above could lead to
 * on the bytes that begin terms. The scan walks into such a depth from
 * nearly every state above it, so that without rows there most of its
 * steps would take the slow way: on the 200,000 binary terms, whose depth
 * 2 holds 95% of all pairs, only 4.5% of the steps started from a state
 * with a row before these were taken, and the count took three times the
 * dense form's time; with them, 1.2 times. Their rows may take up to twice
 * the states' bytes; `most` rows. */
size_t
fullDepths(const size_t *depthStart, size_t most)
{
    size_t rows = 2, firsts = depthStart[2] - depthStart[1];
    for (size_t d = 1; d < DEPTHS && depthStart[d + 1] <= most; d++) {
        size_t here = depthStart[d + 1] - depthStart[d];
        size_t above = d == 1 ? 1 : depthStart[d] - depthStart[d - 1];
        if (here == 0 || (d > 1 && 2 * here < above * firsts))
            break;
        rows = depthStart[d + 1];
    }
    return rows;
}

/* Sets the form for the trie of `shape`, from terms of `textBytes` bytes,
 * while the compile holds `held` bytes beside the trie and the rows. */
void
chooseForm(Scanner *sc, unsigned flags, const Shape &shape, size_t textBytes, size_t held)
{
    size_t states = shape.states, C = sc->classes, outputs = shape.outputs, leaves = shape.leaves;
    const size_t *depthStart = shape.depthStart;
    size_t trie = states * (sizeof(Node) + 1) + (outputs + 1) * 12;
    size_t dense = states * (C * 4 + sizeof(Node)) + (outputs + 1) * 12;
    bool named = states * C <= UINT32_MAX;
    bool fits = dense <= DENSE_MOST &&
                dense + states + held <= indexBytes(states, leaves, textBytes);
    if (flags & SCAN_COMPACT)
        sc->sparse = true;
    else
        sc->sparse = !named || (!fits && !(flags & SCAN_DENSE));
    if (!sc->sparse) {
        sc->rows = sc->states;
        return;
    }
    size_t rows = std::max(trie / ROWS_SHARE / (C * 4), fullDepths(depthStart, 2 * trie / (C * 4)));
    sc->rows = static_cast<uint32_t>(std::clamp<size_t>(rows, 2, states));
}

/* Takes the trie's arrays for sc->states states; false if memory ran out. */
bool
takeTrie(Scanner *sc, size_t n)
{
    sc->nodes = static_cast<Node *>(malloc((sc->states + size_t{1}) * sizeof *sc->nodes));
    sc->label = static_cast<unsigned char *>(malloc(sc->states));
    sc->outEntry = static_cast<uint32_t *>(malloc((n + 1) * sizeof *sc->outEntry));
    sc->outNext = static_cast<uint32_t *>(malloc((n + 1) * sizeof *sc->outNext));
    sc->outState = static_cast<uint32_t *>(malloc((n + 1) * sizeof *sc->outState));
    return sc->nodes && sc->label && sc->outEntry && sc->outNext && sc->outState;
}

/* Grows the trie of the sorted terms into `sc`, with room taken for the
 * ranges of a depth meanwhile. */
Fault
grow(Scanner *sc, const Entered *terms, size_t n, const bool *startsAfter, Poll *poll)
{
    Range *level = static_cast<Range *>(malloc((n + 2) * sizeof *level));
    Range *below = static_cast<Range *>(malloc((n + 2) * sizeof *below));
    Fault f = NO_FAULT;
    if (level == nullptr || below == nullptr)
        f = OUT_OF_MEMORY;
    else if (!growTrie(sc, terms, n, startsAfter, level, below, poll))
        f = STOPPED;
    free(level);
    free(below);
    return f;
}

/* The prefilter of the automaton, where one pays (prefilter.h says when).
 * Mode line has none: its MIDDLE root already skips to the next line feed
 * with memchr, and a line has one place to begin. Returns false if memory
 * ran out. */
bool
choosePrefilter(Scanner *sc, const Entered *terms, size_t n, unsigned flags)
{
    if ((flags & SCAN_NO_PREFILTER) != 0 || sc->mode == SCAN_LINE)
        return true;
    unsigned how = ((flags & SCAN_PREFILTER) != 0 ? PREFILTER_ALWAYS : 0)
                   | ((flags & SCAN_PORTABLE) != 0 ? PREFILTER_PLAIN : 0);
    return prefilter_build(terms, n, (flags & SCAN_IGNORE_CASE) != 0, sc->mode == SCAN_WORD,
                           how, &sc->prefilter);
}

/* Builds the automaton of the sorted terms into `sc`. */
Fault
build(Scanner *sc, const Entered *terms, size_t n, unsigned flags, size_t textBytes,
      Poll *poll)
{
    sc->cuttable = true;
    for (size_t i = 0; i < n; i++)
        if (memchr(terms[i].bytes, '\n', terms[i].length) != nullptr)
            sc->cuttable = false;
    if (sc->mode == SCAN_LINE && sc->cuttable) {
        sc->lineFold = flags & SCAN_IGNORE_CASE ? 0x2020202020202020u : 0;
        return listLines(sc, terms, n) ? NO_FAULT : OUT_OF_MEMORY;
    }
    sc->classes = makeClasses(sc, terms, n, (flags & SCAN_IGNORE_CASE) != 0);
    bool startsAfter[256] = {};
    classRules(sc, startsAfter);
    Shape shape;
    if (!trieShape(terms, n, &shape, poll))
        return STOPPED;
    if (shape.states >= UINT32_MAX)
        return TOO_MANY;
    sc->states = static_cast<uint32_t>(shape.states);
    /* Beside the trie and the rows, the compile holds the sorted terms and
     * the ranges of two depths while it grows them. */
    size_t held = n * sizeof *terms + textBytes + 2 * (n + 2) * sizeof(Range);
    chooseForm(sc, flags, shape, textBytes, held);
    sc->next = static_cast<uint32_t *>(
        malloc(static_cast<size_t>(sc->rows) * sc->classes * sizeof *sc->next));
    if (sc->next == nullptr || !takeTrie(sc, n))
        return OUT_OF_MEMORY;
    Fault f = grow(sc, terms, n, startsAfter, poll);
    if (f.kind != FAULT_NONE)
        return f;
    if (!sc->sparse)
        nameByRows(sc);
    return choosePrefilter(sc, terms, n, flags) ? NO_FAULT : OUT_OF_MEMORY;
}

void
freeParts(Scanner *sc)
{
    free(sc->lineSlots);
    free(sc->lines);
    free(sc->lineBytes);
    free(sc->next);
    free(sc->nodes);
    free(sc->label);
    free(sc->outEntry);
    free(sc->outNext);
    free(sc->outState);
    prefilter_free(sc->prefilter);
}

} // namespace

Fault
scanner_compileTerms(const TreeEntry *entries, size_t count, ScanMode mode,
                     unsigned flags, ScanKeepGoingFn keepGoing, void *ctx, Scanner **out)
{
    *out = nullptr;
    Poll poll = {keepGoing, ctx, 0, {}};
    if (poll.stopNow())
        return STOPPED;
    if (count >= UINT32_MAX)
        return TOO_MANY;
    Scanner *sc = static_cast<Scanner *>(calloc(1, sizeof *sc));
    if (sc == nullptr)
        return OUT_OF_MEMORY;
    Entered *terms = nullptr;
    unsigned char *folded = nullptr;
    size_t n = 0, textBytes = 0;
    bool folding = (flags & SCAN_IGNORE_CASE) != 0;

    for (size_t i = 0; i < count; i++)
        textBytes += entries[i].length;
    sc->mode = mode;
    sc->entries = count;
    Fault f = enter(entries, count, mode, folding, &terms, &n, &folded, &poll);
    if (f.kind == FAULT_NONE)
        f = build(sc, terms, n, flags, textBytes, &poll);
    free(terms);
    free(folded);
    if (f.kind != FAULT_NONE) {
        scanner_free(sc);
        return f;
    }
    *out = sc;
    return NO_FAULT;
}

Fault
scanner_compile(const Tree *tree, ScanMode mode, unsigned flags, ScanKeepGoingFn keepGoing,
                void *ctx, Scanner **out)
{
    size_t count;
    const TreeEntry *entries = tree_getEntryList(tree, &count);
    return scanner_compileTerms(entries, count, mode, flags, keepGoing, ctx, out);
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
    return sizeof *sc + static_cast<size_t>(sc->rows) * sc->classes * sizeof(uint32_t) +
           (sc->states + size_t{1}) * sizeof(Node) + (sc->sparse ? sc->states : 0) +
           (sc->outputs + size_t{1}) * 3 * sizeof(uint32_t) +
           (sc->prefilter ? prefilter_size(sc->prefilter) : 0);
}

size_t
scanner_entryCount(const Scanner *sc)
{
    return sc->entries;
}

size_t
scanner_visitCount(const Scanner *sc)
{
    if (sc->lines != nullptr)
        return sc->lineTerms;
    return sc->sparse ? sc->outputs + size_t{1} : sc->states;
}

bool
scanner_prefiltered(const Scanner *sc)
{
    return sc->prefilter != nullptr;
}

bool
scanner_cuttable(const Scanner *sc)
{
    return sc->cuttable;
}

Fault
scanner_compile(const Tree *tree, ScanMode mode, unsigned flags, Scanner **out)
{
    return scanner_compile(tree, mode, flags, nullptr, nullptr, out);
}

Fault
scanner_compileTerms(const TreeEntry *entries, size_t count, ScanMode mode, unsigned flags,
                     Scanner **out)
{
    return scanner_compileTerms(entries, count, mode, flags, nullptr, nullptr, out);
}
