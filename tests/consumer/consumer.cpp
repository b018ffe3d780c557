// A program of someone else's that embeds termcount: its own names stand
// beside the library's, it counts a list of its own on two threads, and,
// given a search file and a mode, counts standard input as the termcount
// program does, with the library's loader and report writer.
#include <termcount/count.h>
#include <termcount/searchfile.h>
#include <termcount/tree.h>
#include <cstdio>
#include <cstring>

// Names an embedder may well have chosen for itself.
struct Document { const char *title; };
struct Reader { int fd; };
struct Counting { int done; };

const char *terms[] = {"cat", "dog"}, *text = "cat dog\nconcat cat\n";

// The entry source: adds every term in one call, then says there are no more.
bool addTerms(void *, Tree *tree, AddEntryFn add) {
    for (const char *t : terms)
        if (!add(tree, t, strlen(t)))
            return false;  // out of memory: tree_create returns false
    return false;          // no more terms
}

int countList() {
    Tree *tree;
    if (!tree_create(nullptr, &tree, addTerms))
        return 1;
    // Whole words, compiled once, counted on two threads.
    Scanner *words;
    if (scanner_compile(tree, SCAN_WORD, 0, nullptr, nullptr, &words).kind != FAULT_NONE)
        return 1;
    uint64_t counts[2];
    CountOptions how = {.scanner = words, .threads = 2};
    if (count_memory(&how, text, strlen(text), counts).kind != FAULT_NONE)
        return 1;
    for (int i = 0; i < 2; i++)
        printf("%llu %s\n", (unsigned long long)counts[i], terms[i]);
    scanner_free(words);
    tree_destroy(tree);
    return 0;
}

int countInput(const char *path, const char *mode) {
    Tree *tree;
    if (searchFile_load(path, &tree).kind != FAULT_NONE)
        return 3;
    ScanMode scan = strcmp(mode, "word") == 0 ? SCAN_WORD
                  : strcmp(mode, "line") == 0 ? SCAN_LINE : SCAN_ANY;
    Scanner *sc;
    if (scanner_compile(tree, scan, 0, &sc).kind != FAULT_NONE)
        return 4;
    size_t n;
    const TreeEntry *entries = tree_getEntryList(tree, &n);
    uint64_t *counts = new uint64_t[n + 1];
    CountOptions how = {.scanner = sc, .threads = 2};
    if (count_file(&how, "/dev/stdin", counts).kind != FAULT_NONE)
        return 5;
    searchFile_writeReport(stdout, entries, counts, n);
    delete[] counts;
    scanner_free(sc);
    tree_destroy(tree);
    return fclose(stdout) == 0 ? 0 : 6;
}

int main(int argc, char **argv) {
    Document d = {"mine"};
    Reader r = {0};
    Counting c = {0};
    (void)d, (void)r, (void)c;
    return argc == 3 ? countInput(argv[1], argv[2]) : countList();
}
