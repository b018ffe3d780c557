/*
 * tree.h: a term index (a byte trie over an ordered list of terms) and three
 * streaming searches over it.
 *
 * The index is filled through an entry source and searched through a byte
 * getter and a match handler, so it knows nothing of files, streams or
 * counting. Everything is plain bytes; no encoding is assumed. Failures are
 * reported as false results and a sticky flag; this code never prints and
 * never exits.
 *
 * Once filled, an index is only read: any number of threads may search it
 * at once, each with a scratch of its own.
 */
#ifndef TERMCOUNT_TREE_H
#define TERMCOUNT_TREE_H

#include <cstddef>
#include <cstdint>

struct TreeNode {
    TreeNode **children;    /* 256 child pointers indexed by byte, or null */
    size_t entryNo;         /* entry index + 1 of the term ending here; 0: none */
};

struct TreeEntry {
    unsigned char *text;    /* copy of the term, not terminated; owned by the index */
    size_t length;          /* bytes in text */
};

/* Zeroed memory that nodes and child tables are carved from. */
struct TreeArena {
    unsigned char *next;    /* first free byte */
    unsigned char *end;     /* end of the newest block */
    void *blocks;           /* newest block; each starts with the one before */
};

struct Tree {
    TreeNode root;          /* trie root; no term ends here */
    TreeEntry *entries;     /* terms in order of addition */
    size_t entryCount;      /* number of entries */
    size_t maxLength;       /* longest entry so far; 0 while there is none */
    int32_t failed;         /* set to 1 by any allocation failure; never cleared */

    TreeArena arena;        /* where nodes and child tables come from; private */
};

/* What one search needs besides the index: the window the input flows
 * through. A thread that searches takes one and keeps it for as many
 * searches as it likes; searches through different scratches never touch
 * each other or the index. Zero-filled, it holds nothing yet. */
struct TreeScratch {
    unsigned char *window;  /* the ring, kept twice over, and its slack; owned */
    size_t room;            /* longest term the window has room for */
};

/* Adds a term of `length` bytes to `tree`. Returns false on an allocation
 * failure. tree_addEntry is the only one. */
typedef bool (*AddEntryFn)(Tree *tree, const void *bytes, size_t length);

/* An entry source: adds zero or more terms to `tree` through `add`. Returns
 * true while more terms may follow, false when the source is exhausted or an
 * add failed. `source` is the pointer given to tree_create, untouched. */
typedef bool (*EntryIterator)(void *source, Tree *tree, AddEntryFn add);

/* Called once per reported occurrence with the entry's 0-based index. The
 * searches ignore the result. */
typedef bool (*MatchHandler)(void *ctx, size_t index);

/* Returns the next input byte (0 to 255), or -1 at the end of input. Once it
 * has returned -1 it is not called again by a search. */
typedef int (*GetChFn)(void *stream);

/* The signature shared by tree_search, tree_searchByWord and
 * tree_searchByLine. */
typedef void (*SearchFn)(void *ctx, const Tree *tree, MatchHandler match,
                         void *stream, GetChFn getch);

/* The signature shared by the forms that search through a scratch:
 * tree_searchWith, tree_searchByWordWith and tree_searchByLineWith. */
typedef bool (*ScratchSearchFn)(TreeScratch *scratch, void *ctx,
                                const Tree *tree, MatchHandler match,
                                void *stream, GetChFn getch);

/* Returns a new malloc'd copy of `size` bytes at `bytes` (at least one byte
 * is allocated, so null always means failure). The caller owns the copy. */
void *memdup(const void *bytes, size_t size);

/* Creates an empty index, stores its address through `out` and fills it by
 * calling `iterator(source, tree, tree_addEntry)` until that returns false.
 * Returns true unless an allocation failed; then `failed` is set and the
 * index must not be searched. If the Tree itself cannot be allocated, `out`
 * is left unwritten. The caller owns the index and frees it with
 * tree_destroy, or keeps it until the process ends. */
bool tree_create(void *source, Tree **out, EntryIterator iterator);

/* Frees the index and everything it owns; `tree` may be null. The entry
 * list and any pointer into the index are invalid afterwards. Programs that
 * keep their index until they exit need not call it. */
void tree_destroy(Tree *tree);

/* Appends a copy of the term to the entry list and threads it into the trie;
 * an empty term is listed but never matches. A term added twice is found
 * under its later entry only. Returns false, with `failed` set, on an
 * allocation failure; the entry may then be listed, and nodes made so far
 * stay. */
bool tree_addEntry(Tree *tree, const void *bytes, size_t length);

/* Returns the entry list (null while it is empty) and writes its length
 * through `outCount`. The list belongs to the index and stays valid until the
 * next add. */
const TreeEntry *tree_getEntryList(const Tree *tree, size_t *outCount);

/* Makes `scratch` fit searches of `tree`: takes or grows its window, of
 * 2 * (maxLength + 1) bytes and a little slack. Returns false if memory ran
 * out, leaving `scratch` as it was. A scratch that fits one index fits any
 * with terms no longer. */
bool tree_prepareScratch(TreeScratch *scratch, const Tree *tree);

/* Gives back what `scratch` holds and zeroes it. */
void tree_releaseScratch(TreeScratch *scratch);

/* The searches read `stream` through `getch` to its end, one call per byte
 * plus the final -1, and call `match(ctx, index)` for every occurrence they
 * count: ordered by the occurrence's first byte, then by increasing length.
 * They never change the index, so searches of one index may run at once on
 * many threads, and a match handler may start a search of its own.
 *
 * These three take their window on the calling thread's stack, 2 *
 * (maxLength + 1) bytes, and so cannot fail; where the stack may be short
 * of that, search through a scratch.
 *
 * tree_search counts every occurrence, overlapping ones included; with no
 * non-empty term it returns without reading. */
void tree_search(void *ctx, const Tree *tree, MatchHandler match,
                 void *stream, GetChFn getch);

/* Counts occurrences that start with an ASCII letter or digit not preceded
 * by one, and are not followed by one. */
void tree_searchByWord(void *ctx, const Tree *tree, MatchHandler match,
                       void *stream, GetChFn getch);

/* Counts occurrences that start a line (at the start of input or after a line
 * feed, and not with a line feed) and end one (before a line feed or at the
 * end of input). */
void tree_searchByLine(void *ctx, const Tree *tree, MatchHandler match,
                       void *stream, GetChFn getch);

/* The same three searches through `scratch`, which they first prepare for
 * `tree`. Each returns false, having neither read nor reported anything,
 * when the window cannot be had: a search that returns true has counted
 * the whole input. */
bool tree_searchWith(TreeScratch *scratch, void *ctx, const Tree *tree,
                     MatchHandler match, void *stream, GetChFn getch);
bool tree_searchByWordWith(TreeScratch *scratch, void *ctx, const Tree *tree,
                           MatchHandler match, void *stream, GetChFn getch);
bool tree_searchByLineWith(TreeScratch *scratch, void *ctx, const Tree *tree,
                           MatchHandler match, void *stream, GetChFn getch);

#endif
