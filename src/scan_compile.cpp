/*
 * scan_compile.cpp: the terms entered, their byte classes, the trie, its
 * failure links and the choice of form, and the compile-time half of
 * scan.h.
 */
#include "scan_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

/* How many states ahead the compile asks for rows it will fill. */
constexpr size_t AHEAD = 8;

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

/* The prefilter of the automaton, where one pays (prefilter.h says when).
 * Mode line has none: its MIDDLE root already skips to the next line feed
 * with memchr, and a line has one place to begin. */
bool
choosePrefilter(Scanner *sc, const Entered *terms, size_t n, bool folding, unsigned flags)
{
    if ((flags & SCAN_NO_PREFILTER) != 0 || sc->mode == SCAN_LINE)
        return true;
    unsigned how = ((flags & SCAN_PREFILTER) != 0 ? PREFILTER_ALWAYS : 0) |
                   ((flags & SCAN_PORTABLE) != 0 ? PREFILTER_PLAIN : 0);
    return prefilter_build(terms, n, folding, sc->mode == SCAN_WORD, how, &sc->prefilter);
}

/* Builds the automaton of the sorted terms into `sc`. Returns false if
 * memory ran out or the states cannot be named in 32 bits. */
bool
build(Scanner *sc, const Entered *terms, size_t n, bool folding, unsigned flags,
      size_t textBytes)
{
    bool compact = (flags & SCAN_COMPACT) != 0;
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
    return choosePrefilter(sc, terms, n, folding, flags);
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
    prefilter_free(sc->prefilter);
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
        built = build(sc, terms, n, folding, flags, textBytes);
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
           static_cast<size_t>(sc->states) * perState * sizeof(uint32_t) +
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
    return sc->lines != nullptr ? sc->lineTerms : sc->states;
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
