/*
 * tree.cpp: the term index and the window scan shared by the three searches.
 */
#include "tree.h"

#include <alloca.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>

void *
memdup(const void *bytes, size_t size)
{
    /* malloc(0) may return null, which would read as a failure. */
    void *copy = malloc(size ? size : 1);

    if (copy != nullptr && size != 0)
        memcpy(copy, bytes, size);
    return copy;
}

static bool
fail(Tree *tree)
{
    tree->failed = 1;
    return false;
}

/*
 * Nodes and child tables are carved from large zeroed blocks rather than
 * allocated one by one: a load of many terms makes hundreds of thousands of
 * them, and a walk runs faster when they sit close together. Blocks double
 * from small to large, so a short term list stays small, and are returned
 * only by tree_destroy.
 */
enum : size_t {
    FIRST_BLOCK = 16 << 10,
    LAST_BLOCK = 32 << 20,
};

/* Returns `size` zeroed bytes from `a`, or null if a new block cannot be
 * had. `size` must keep the arena's alignment. */
static void *
carve(TreeArena *a, size_t size)
{
    if (static_cast<size_t>(a->end - a->next) < size) {
        size_t last = a->blocks == nullptr
                          ? 0
                          : a->end - static_cast<unsigned char *>(a->blocks);
        size_t bytes = last == 0           ? FIRST_BLOCK
                       : last < LAST_BLOCK ? 2 * last
                                           : last;
        unsigned char *block = static_cast<unsigned char *>(calloc(1, bytes));
        if (block == nullptr)
            return nullptr;
        /* The blocks form a list through their first bytes, for
         * tree_destroy; 16 bytes keep what follows aligned. */
        *reinterpret_cast<void **>(block) = a->blocks;
        a->blocks = block;
        a->next = block + 16;
        a->end = block + bytes;
    }
    unsigned char *p = a->next;
    a->next += size;
    /* A fresh page that is read before it is written faults twice: once to
     * map the shared zero page, once more to copy it. Writing first, to
     * both pages the piece may span, faults once. */
    p[0] = 0;
    p[size - 1] = 0;
    return p;
}

/*
 * Nodes and tables share one arena, in the order a load makes them. A new
 * term's path is then laid out as node, its table, next node, its table, and
 * a walk down it reads memory forward instead of hopping between regions;
 * the 16 bytes of each node also stagger the tables, so the same slot of
 * successive tables does not land in the same cache set.
 */
static TreeNode *
newNode(Tree *tree)
{
    return static_cast<TreeNode *>(carve(&tree->arena, sizeof(TreeNode)));
}

static TreeNode **
newTable(Tree *tree)
{
    return static_cast<TreeNode **>(
        carve(&tree->arena, 256 * sizeof(TreeNode *)));
}

bool
tree_addEntry(Tree *tree, const void *bytes, size_t length)
{
    /* Exactly one more record per term: the array never holds slack. */
    void *grown = realloc(tree->entries,
                          (tree->entryCount + 1) * sizeof(TreeEntry));
    if (grown == nullptr)
        return fail(tree);
    tree->entries = static_cast<TreeEntry *>(grown);

    /* Take every copy before listing the entry, so that a listed entry
     * always has its text. */
    unsigned char *text = static_cast<unsigned char *>(memdup(bytes, length));
    if (text == nullptr)
        return fail(tree);
    if (length > tree->maxLength)
        tree->maxLength = length;
    tree->entries[tree->entryCount] = TreeEntry{text, length};
    size_t entryNo = ++tree->entryCount;

    if (length == 0)
        return true;

    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    TreeNode *node = &tree->root;
    for (size_t i = 0; i < length; i++) {
        if (node->children == nullptr &&
            (node->children = newTable(tree)) == nullptr)
            return fail(tree);
        TreeNode **slot = &node->children[p[i]];
        if (*slot == nullptr && (*slot = newNode(tree)) == nullptr)
            return fail(tree);
        node = *slot;
    }
    node->entryNo = entryNo;    /* a later duplicate takes the node over */
    return true;
}

bool
tree_create(void *source, Tree **out, EntryIterator iterator)
{
    Tree *tree = static_cast<Tree *>(calloc(1, sizeof(Tree)));

    if (tree == nullptr)
        return false;
    *out = tree;
    while (!tree->failed && iterator(source, tree, tree_addEntry))
        ;
    return !tree->failed;
}

void
tree_destroy(Tree *tree)
{
    if (tree == nullptr)
        return;
    for (size_t i = 0; i < tree->entryCount; i++)
        free(tree->entries[i].text);
    free(tree->entries);
    for (void *b = tree->arena.blocks; b != nullptr;) {
        void *before = *static_cast<void **>(b);
        free(b);
        b = before;
    }
    free(tree);
}

const TreeEntry *
tree_getEntryList(const Tree *tree, size_t *outCount)
{
    *outCount = tree->entryCount;
    return tree->entries;
}

/* How many steps ahead a deep walk prefetches; see prefetchPath. */
enum { LOOKAHEAD = 4 };

/*
 * A search keeps every window byte twice, at slot i and slot i + W, so a
 * walk reads the bytes from any start slot as one contiguous run instead of
 * wrapping. Sized for the longest term plus the slot that holds the byte
 * after it, plus the bytes a walk's prefetch peeks at past the end.
 */
static size_t
windowSize(size_t maxLength)
{
    return 2 * (maxLength + 1) + LOOKAHEAD;
}

bool
tree_prepareScratch(TreeScratch *scratch, const Tree *tree)
{
    if (scratch->window != nullptr && scratch->room >= tree->maxLength)
        return true;
    /* Whole cache lines of its own, so that threads searching side by side,
     * each writing its window at every byte, never share one. Zeroed, so
     * that the bytes a prefetch peeks at are never read uninitialised; a
     * search writes every byte it reads first. */
    size_t size = (windowSize(tree->maxLength) + 63) & ~size_t{63};
    void *w = aligned_alloc(64, size);
    if (w == nullptr)
        return false;
    memset(w, 0, size);
    free(scratch->window);
    *scratch = {static_cast<unsigned char *>(w), tree->maxLength};
    return true;
}

void
tree_releaseScratch(TreeScratch *scratch)
{
    free(scratch->window);
    *scratch = {nullptr, 0};
}

namespace {

enum class Rule { Any, Word, Line };

struct WordBytes {
    bool is[256];

    /* ASCII only, whatever the locale says. */
    constexpr WordBytes() : is()
    {
        for (int c = 0; c < 256; c++)
            is[c] = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                    (c >= 'a' && c <= 'z');
    }
};

constexpr WordBytes wordBytes;

/* The byte class each rule tracks: word bytes, or line feeds. */
template <Rule R>
inline bool
classify(unsigned char c)
{
    if constexpr (R == Rule::Word)
        return wordBytes.is[c];
    else
        return c == '\n';
}

/* Whether an occurrence may begin at a byte of class `cur` after a byte of
 * class `prev`. */
template <Rule R>
inline bool
opens(bool cur, bool prev)
{
    if constexpr (R == Rule::Any)
        return true;
    else if constexpr (R == Rule::Word)
        return cur && !prev;
    else
        return !cur && prev;
}

/* Whether a term of `k` bytes at `s` is closed by what follows it; `n` bytes
 * from `s` are valid, so k == n means the input ends right after it. */
template <Rule R>
inline bool
closes(const unsigned char *s, size_t k, size_t n)
{
    if constexpr (R == Rule::Any)
        return true;
    else
        return k == n || classify<R>(s[k]) == (R == Rule::Line);
}

/*
 * A load lays a new term's path out as node, table, node, table (see
 * newNode), so a walk running along a path that one term made finds each
 * next table slot and next node at a known distance ahead. Fetching them
 * early overlaps misses that would otherwise come one after another. Only a
 * deep walk looks several steps ahead: near the root paths branch and are
 * shared, and the guesses would mostly miss.
 */
inline void
prefetchPath(const TreeNode *node, const unsigned char *next, size_t depth)
{
    enum { DEEP = 6 };
    const char *at = reinterpret_cast<const char *>(node);
    int steps = depth >= DEEP ? LOOKAHEAD : 1;

    for (int j = 0; j < steps; j++) {
        __builtin_prefetch(at + sizeof(TreeNode) + next[j] * sizeof(TreeNode *));
        at += sizeof(TreeNode) + 256 * sizeof(TreeNode *);
        if (j + 1 < steps)
            __builtin_prefetch(at);
    }
}

/*
 * Walks the trie over the `n` valid bytes at `s` and reports, shortest
 * first, every term that ends on the walk and is closed by what follows.
 * While input remains the window is full and W is at least maxLength, the
 * length of the longest path in the trie: a walk then cannot run out of
 * bytes, so Full drops the bound checks from the loop.
 */
template <Rule R, bool Full>
inline void
walk(const TreeNode *root, const unsigned char *s, size_t n, void *ctx,
     MatchHandler match)
{
    const size_t limit = Full ? SIZE_MAX : n;
    const TreeNode *node = root;

    for (size_t k = 0; node->children != nullptr;) {
        node = node->children[s[k]];
        if (node == nullptr)
            return;
        prefetchPath(node, s + k + 1, k);
        k++;
        if (node->entryNo != 0 && closes<R>(s, k, limit))
            match(ctx, node->entryNo - 1);
        if (k == limit)
            return;
    }
}

/*
 * The one scan behind all three searches. The window holds the bytes from
 * the current position on, up to W of them; every position is examined once,
 * in input order, and the getter is called once per byte plus the final -1.
 * The loop runs in two phases: while the getter still gives bytes the window
 * stays full, so a walk always sees the whole longest term and, in the word
 * and line searches, the byte after it; after the -1 the window drains by
 * one byte per position.
 */
template <Rule R>
void
scan(unsigned char *const win, void *ctx, const Tree *tree,
     MatchHandler match, void *stream, GetChFn getch)
{
    const size_t w = tree->maxLength + (R == Rule::Any ? 0 : 1);
    const TreeNode *root = &tree->root;
    unsigned char *const end = win + w;
    size_t n = 0;
    int c;

    if (w == 0)
        return;
    while (n < w && (c = getch(stream)) >= 0) {
        win[n] = win[n + w] = static_cast<unsigned char>(c);
        n++;
    }

    /* The start of input counts as a non-word byte and as a line feed. */
    bool prev = R == Rule::Line;
    unsigned char *p = win;
    if (n == w) {
        for (;;) {
            bool cur = classify<R>(*p);
            if (opens<R>(cur, prev))
                walk<R, true>(root, p, w, ctx, match);
            prev = cur;
            /* The current byte is no longer needed: its slot takes the
             * next one. */
            if ((c = getch(stream)) < 0)
                break;
            p[0] = p[w] = static_cast<unsigned char>(c);
            if (++p == end)
                p = win;
        }
        if (++p == end)
            p = win;
        n--;
    }
    for (; n != 0; n--) {
        bool cur = classify<R>(*p);
        if (opens<R>(cur, prev))
            walk<R, false>(root, p, n, ctx, match);
        prev = cur;
        if (++p == end)
            p = win;
    }
}

/* A search that takes its window on the stack, zeroed like a scratch's;
 * alloca, since the size is known only at the call. */
template <Rule R>
void
searchOnStack(void *ctx, const Tree *tree, MatchHandler match, void *stream,
              GetChFn getch)
{
    size_t size = windowSize(tree->maxLength);
    unsigned char *win = static_cast<unsigned char *>(alloca(size));

    memset(win, 0, size);
    scan<R>(win, ctx, tree, match, stream, getch);
}

template <Rule R>
bool
searchWith(TreeScratch *scratch, void *ctx, const Tree *tree,
           MatchHandler match, void *stream, GetChFn getch)
{
    if (!tree_prepareScratch(scratch, tree))
        return false;
    scan<R>(scratch->window, ctx, tree, match, stream, getch);
    return true;
}

} // namespace

void
tree_search(void *ctx, const Tree *tree, MatchHandler match, void *stream,
            GetChFn getch)
{
    searchOnStack<Rule::Any>(ctx, tree, match, stream, getch);
}

void
tree_searchByWord(void *ctx, const Tree *tree, MatchHandler match,
                  void *stream, GetChFn getch)
{
    searchOnStack<Rule::Word>(ctx, tree, match, stream, getch);
}

void
tree_searchByLine(void *ctx, const Tree *tree, MatchHandler match,
                  void *stream, GetChFn getch)
{
    searchOnStack<Rule::Line>(ctx, tree, match, stream, getch);
}

bool
tree_searchWith(TreeScratch *scratch, void *ctx, const Tree *tree,
                MatchHandler match, void *stream, GetChFn getch)
{
    return searchWith<Rule::Any>(scratch, ctx, tree, match, stream, getch);
}

bool
tree_searchByWordWith(TreeScratch *scratch, void *ctx, const Tree *tree,
                      MatchHandler match, void *stream, GetChFn getch)
{
    return searchWith<Rule::Word>(scratch, ctx, tree, match, stream, getch);
}

bool
tree_searchByLineWith(TreeScratch *scratch, void *ctx, const Tree *tree,
                      MatchHandler match, void *stream, GetChFn getch)
{
    return searchWith<Rule::Line>(scratch, ctx, tree, match, stream, getch);
}
