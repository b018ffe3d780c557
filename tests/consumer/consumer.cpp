#include <termcount/tree.h>
#include <cstdio>
#include <cstring>

const char *terms[] = {"cat", "dog"}, *text = "cat dog concat cat";
bool addTerms(void *, Tree *t, AddEntryFn add) { for (auto s : terms) if (!add(t, s, strlen(s))) return false; return false; }
int nextByte(void *p) { auto s = (const char **)p; return **s ? (unsigned char)*(*s)++ : -1; }
bool count(void *c, size_t i) { ((unsigned long *)c)[i]++; return true; }

int main() {
    Tree *tree;
    unsigned long counts[2] = {};
    if (!tree_create(nullptr, &tree, addTerms)) return 1;
    tree_searchByWord(counts, tree, count, &text, nextByte);
    for (int i = 0; i < 2; i++) printf("%lu %s\n", counts[i], terms[i]);
    tree_destroy(tree);
}
