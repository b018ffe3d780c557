/*
 * merger.cpp: the search file's terms, the sums, and the report reader of
 * termcount-merge.
 */
#include "merger.h"

#include "frontend.h"

#include <cstdlib>
#include <cstring>

/* Makes room for `need` elements of `size` bytes in the array at `*p`,
 * which holds `*cap`, by doubling. Returns false, leaving it as it was, if
 * memory ran out. */
static bool
grow(void **p, size_t *cap, size_t need, size_t size)
{
    if (need <= *cap)
        return true;
    size_t n = *cap ? *cap : 64;
    while (n < need)
        n *= 2;
    void *q = realloc(*p, n * size);
    if (q == nullptr)
        return false;
    *p = q;
    *cap = n;
    return true;
}

/* FNV-1a: a few bytes per term, and no adversary to fear in a term list. */
static uint64_t
hashTerm(const TreeEntry *e)
{
    uint64_t h = 14695981039346656037u;

    for (size_t i = 0; i < e->length; i++)
        h = (h ^ e->text[i]) * 1099511628211u;
    return h;
}

/* Marks every entry whose term a later entry lists again: termcount counts
 * a term under its last listing only, and reports 0 for the earlier ones,
 * whereas a slice that holds an earlier listing counts it. Returns false if
 * the hash table cannot be had. */
static bool
markShadowed(Merge *m)
{
    size_t size = 2;
    while (size < 2 * m->count)
        size *= 2;
    size_t *slots = static_cast<size_t *>(calloc(size, sizeof *slots));
    if (slots == nullptr)
        return false;
    for (size_t i = m->count; i-- > 0;) {
        const TreeEntry *e = &m->entries[i];
        for (size_t h = hashTerm(e) & (size - 1);; h = (h + 1) & (size - 1)) {
            if (slots[h] == 0) {
                slots[h] = i + 1;
                break;
            }
            const TreeEntry *o = &m->entries[slots[h] - 1];
            if (o->length == e->length &&
                memcmp(o->text, e->text, e->length) == 0) {
                m->shadowed[i] = true;
                break;
            }
        }
    }
    free(slots);
    return true;
}

bool
merge_takeTerm(void *merge, const char *term, size_t len)
{
    Merge *m = static_cast<Merge *>(merge);

    if (!grow(reinterpret_cast<void **>(&m->entries), &m->entriesCap,
              m->count + 1, sizeof *m->entries) ||
        !grow(reinterpret_cast<void **>(&m->text), &m->textCap,
              m->textSize + len, 1))
        return false;
    memcpy(m->text + m->textSize, term, len);
    m->textSize += len;
    m->entries[m->count++] = {nullptr, len};
    return true;
}

bool
merge_ready(Merge *m)
{
    /* The text buffer moves as it grows, so entries point into it only now. */
    unsigned char *p = m->text;
    for (size_t i = 0; i < m->count; p += m->entries[i++].length)
        m->entries[i].text = p;
    m->sums = static_cast<uint64_t *>(calloc(m->count + 1, sizeof *m->sums));
    m->shadowed = static_cast<bool *>(calloc(m->count + 1, sizeof *m->shadowed));
    return m->sums != nullptr && m->shadowed != nullptr && markShadowed(m);
}

Fault
merge_loadTerms(Merge *m, const char *path)
{
    Fault f = searchFile_read(path, m, merge_takeTerm);
    if (f.kind == FAULT_NONE && !merge_ready(m))
        f = {FAULT_MEMORY, 0};
    return f;
}

/* Refuses the input for breaking the rule `why`. */
static Fault
refuse(Merge *m, MergeRefusal why)
{
    m->refusal = why;
    return {FAULT_REFUSED, 0};
}

/* The fault of an input that ended inside a row: a read error, or else a
 * last line without its line feed. */
static Fault
endedInRow(Merge *m, FILE *in)
{
    if (ferror(in))
        return {FAULT_READ, fault_errno()};
    return refuse(m, NO_LINE_FEED);
}

/*
 * A row is read a byte at a time and never stored: the term is compared as
 * it arrives.
 */
Fault
merge_stream(Merge *m, FILE *in)
{
    int c;

    while ((c = getc_unlocked(in)) != EOF) {
        m->line++;
        uint64_t n = 0;
        bool digits = false;
        for (; c >= '0' && c <= '9'; c = getc_unlocked(in), digits = true) {
            unsigned d = c - '0';
            if (n > (UINT64_MAX - d) / 10)
                return refuse(m, BIG_COUNT);
            n = n * 10 + d;
        }
        if (c == EOF)
            return endedInRow(m, in);
        if (!digits || c != ' ')
            return refuse(m, BAD_COUNT);
        if (m->count == 0)
            return refuse(m, NO_TERMS);

        const TreeEntry *e = &m->entries[m->next];
        size_t i = 0;
        while ((c = getc_unlocked(in)) != '\n') {
            if (c == EOF)
                return endedInRow(m, in);
            if (i == e->length || c != e->text[i])
                return refuse(m, BAD_TERM);
            i++;
        }
        if (i != e->length)
            return refuse(m, BAD_TERM);
        if (!m->shadowed[m->next]) {
            if (n > UINT64_MAX - m->sums[m->next])
                return refuse(m, SUM_OVERFLOW);
            m->sums[m->next] += n;
        }
        m->rows++;
        m->next = m->next + 1 == m->count ? 0 : m->next + 1;
    }
    if (ferror(in))
        return {FAULT_READ, fault_errno()};
    return {FAULT_NONE, 0};
}

Fault
merge_end(Merge *m)
{
    if (m->next != 0)
        return refuse(m, CUT_SHORT);
    if (m->rows == 0 && m->count != 0)
        return refuse(m, NO_REPORT);
    return {FAULT_NONE, 0};
}

Fault
merge_file(Merge *m, const char *path)
{
    bool isStdin = strcmp(path, "-") == 0;
    FILE *in = isStdin ? stdin : fopen(path, "rb");

    m->name = isStdin ? nullptr : path;
    m->line = 0;
    if (in == nullptr)
        return {FAULT_OPEN, fault_errno()};
    Fault f = merge_stream(m, in);
    if (!isStdin)
        fclose(in);
    return f;
}

void
merge_free(Merge *m)
{
    free(m->entries);
    free(m->text);
    free(m->sums);
    free(m->shadowed);
    *m = {};
}

