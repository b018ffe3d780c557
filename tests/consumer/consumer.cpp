#include <termcount/count.h>
#include <termcount/tree.h>
#include <cstdio>
#include <cstring>

const char *terms[] = {"cat", "dog"}, *text = "cat dog\nconcat cat\n";

// The entry source: adds every term in one call, then says there are no more.
bool addTerms(void *, Tree *tree, AddEntryFn add) {
    for (const char *t : terms)
        if (!add(tree, t, strlen(t)))
            return false;  // out of memory: tree_create returns false
    return false;          // no more terms
}

int main() {
    Tree *tree;
    if (!tree_create(nullptr, &tree, addTerms))
        return 1;
    // Whole words, compiled once, counted on two threads.
    Scanner *words;
    if (scanner_compile(tree, SCAN_WORD, 0, nullptr, nullptr, &words).kind != FAULT_NONE)
        return 1;
    uint64_t counts[2];
    Counting how = {words, 2, nullptr, nullptr, 0};
    if (count_memory(&how, text, strlen(text), counts).kind != FAULT_NONE)
        return 1;
    for (int i = 0; i < 2; i++)
        printf("%llu %s\n", (unsigned long long)counts[i], terms[i]);
    scanner_free(words);
    tree_destroy(tree);
}
