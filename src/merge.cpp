/*
 * termcount-merge: adds up the reports of termcount runs over shards of a
 * text and slices of a search file, and prints the report one run over the
 * whole text with the whole file would have printed.
 *
 * Counts split exactly: no term holds a line feed, so no occurrence spans a
 * cut made right after one, and the start of a shard reads as the start of a
 * line and as a non-word byte, as the byte after a line feed does. Row r of
 * the input therefore belongs to entry r mod N of the search file, and every
 * row is checked against that entry before its count is added, so that
 * reports out of order, from another list, cut short or corrupted are refused
 * rather than summed into wrong counts.
 */
#include "searchfile.h"
#include "tree.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

/* Why a merge stopped; complain() turns each into its message and status. */
enum Fault {
    MERGED,
    NO_MEMORY,
    OPEN_FAILED,
    READ_FAILED,
    /* The input is refused: */
    BAD_COUNT,
    BIG_COUNT,
    NO_TERMS,
    BAD_TERM,
    NO_LINE_FEED,
    SUM_OVERFLOW,
    CUT_SHORT,
    NO_REPORT,
};

/* The search file's terms, a sum for each, and how far the input has got. */
struct Merge {
    TreeEntry *entries;     /* the search file's terms, in order */
    size_t count;           /* number of entries */
    unsigned char *text;    /* every term's bytes, back to back */
    uint64_t *sums;         /* one per entry */
    bool *shadowed;         /* listed again later: checked, never summed */
    size_t next;            /* the entry the next row belongs to */
    uint64_t rows;          /* rows read so far */
    const char *name;       /* report being read; null: standard input */
    uint64_t line;          /* lines read of it */
    int error;              /* errno of a failed open or read */
};

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

/* Reads the search file's terms into `m`, by the same rules as termcount.
 * A read error ends the list and is left in sf->readError. */
static Fault
loadTerms(Merge *m, SearchFile *sf)
{
    size_t cap = 0, textCap = 0, textSize = 0, len;
    const char *term;

    while (searchFile_next(sf, &term, &len)) {
        if (!grow(reinterpret_cast<void **>(&m->entries), &cap, m->count + 1,
                  sizeof *m->entries) ||
            !grow(reinterpret_cast<void **>(&m->text), &textCap,
                  textSize + len, 1))
            return NO_MEMORY;
        memcpy(m->text + textSize, term, len);
        textSize += len;
        m->entries[m->count++] = {nullptr, len};
    }
    /* The text buffer moves as it grows, so entries point into it only now. */
    unsigned char *p = m->text;
    for (size_t i = 0; i < m->count; p += m->entries[i++].length)
        m->entries[i].text = p;
    m->sums = static_cast<uint64_t *>(calloc(m->count + 1, sizeof *m->sums));
    m->shadowed = static_cast<bool *>(calloc(m->count + 1, sizeof *m->shadowed));
    if (m->sums == nullptr || m->shadowed == nullptr || !markShadowed(m))
        return NO_MEMORY;
    return MERGED;
}

/* Tells whether `in` ended on a read error, and notes the error. */
static bool
readFailed(Merge *m, FILE *in)
{
    if (!ferror(in))
        return false;
    m->error = errno != 0 ? errno : EIO;
    return true;
}

/*
 * Reads report rows from `in` to its end, each "COUNT TERM\n", checking the
 * term against the entry the row belongs to and adding the count to that
 * entry's sum. A row is read a byte at a time and never stored: the term is
 * compared as it arrives. Returns MERGED at the end of `in`, or the fault
 * that stopped it, with m->line at the row at fault.
 */
static Fault
mergeStream(Merge *m, FILE *in)
{
    int c;

    while ((c = getc_unlocked(in)) != EOF) {
        m->line++;
        uint64_t n = 0;
        bool digits = false;
        for (; c >= '0' && c <= '9'; c = getc_unlocked(in), digits = true) {
            unsigned d = c - '0';
            if (n > (UINT64_MAX - d) / 10)
                return BIG_COUNT;
            n = n * 10 + d;
        }
        if (c == EOF)
            return readFailed(m, in) ? READ_FAILED : NO_LINE_FEED;
        if (!digits || c != ' ')
            return BAD_COUNT;
        if (m->count == 0)
            return NO_TERMS;

        const TreeEntry *e = &m->entries[m->next];
        size_t i = 0;
        while ((c = getc_unlocked(in)) != '\n') {
            if (c == EOF)
                return readFailed(m, in) ? READ_FAILED : NO_LINE_FEED;
            if (i == e->length || c != e->text[i])
                return BAD_TERM;
            i++;
        }
        if (i != e->length)
            return BAD_TERM;
        if (!m->shadowed[m->next]) {
            if (n > UINT64_MAX - m->sums[m->next])
                return SUM_OVERFLOW;
            m->sums[m->next] += n;
        }
        m->rows++;
        m->next = m->next + 1 == m->count ? 0 : m->next + 1;
    }
    return readFailed(m, in) ? READ_FAILED : MERGED;
}

/* Tells whether the input read in full held whole reports, and at least one
 * where the search file lists terms: a job that failed or was cut short
 * must not pass for a report with low counts. */
static Fault
checkEnd(const Merge *m)
{
    if (m->next != 0)
        return CUT_SHORT;
    if (m->rows == 0 && m->count != 0)
        return NO_REPORT;
    return MERGED;
}

/* Merges the report file at `path`, or standard input for "-". */
static Fault
mergeFile(Merge *m, const char *path)
{
    bool isStdin = strcmp(path, "-") == 0;
    FILE *in = isStdin ? stdin : fopen(path, "rb");

    m->name = isStdin ? nullptr : path;
    m->line = 0;
    if (in == nullptr) {
        m->error = errno;
        return OPEN_FAILED;
    }
    Fault f = mergeStream(m, in);
    if (!isStdin)
        fclose(in);
    return f;
}

/* Prints the message for `f` and returns its exit status. */
static int
complain(Fault f, const Merge *m)
{
    const char *reason = nullptr;
    uint64_t number = m->next + 1, total = m->count;

    switch (f) {
    case MERGED:
        return 0;
    case NO_MEMORY:
        fputs("Out of memory\n", stderr);
        return 4;
    case OPEN_FAILED:
    case READ_FAILED:
        if (m->name == nullptr)
            fprintf(stderr, "Failed to read input error %d: %s\n", m->error,
                    strerror(m->error));
        else
            fprintf(stderr, "Failed to %s file \"%s\" error %d: %s\n",
                    f == OPEN_FAILED ? "open" : "read", m->name, m->error,
                    strerror(m->error));
        return 5;
    case BAD_COUNT:
        reason = "the row does not start with a count of digits and a blank";
        break;
    case BIG_COUNT:
        reason = "the count passes 18446744073709551615";
        break;
    case NO_TERMS:
        reason = "a row, but the search file lists no terms";
        break;
    case BAD_TERM:
        reason = "the term is not term %" PRIu64 " of the search file";
        break;
    case NO_LINE_FEED:
        reason = "the last line has no line feed";
        break;
    case SUM_OVERFLOW:
        reason = "the sum for term %" PRIu64 " passes 18446744073709551615";
        break;
    case CUT_SHORT:
        reason = "the input ends inside a report, after %" PRIu64
                 " of its %" PRIu64 " rows";
        number = m->next;
        break;
    case NO_REPORT:
        reason = "no report, but the search file lists terms";
        break;
    }
    if (m->name == nullptr)
        fprintf(stderr, "Cannot merge: standard input line %" PRIu64 ": ", m->line);
    else
        fprintf(stderr, "Cannot merge: \"%s\" line %" PRIu64 ": ", m->name, m->line);
    fprintf(stderr, reason, number, total);
    fputc('\n', stderr);
    return 7;
}

int
main(int argc, char *argv[])
{
    if (argc < 2) {
        const char *name = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0'
                               ? argv[0]
                               : "termcount-merge";
        fprintf(stderr,
                "usage: %s searchfile [report ...]\n\n"
                "reports are read from standard input when none is named, "
                "and where - is named\n",
                name);
        return 1;
    }

    static Merge m;  /* kept to the end, like termcount's index */
    SearchFile sf;
    int status = searchFile_open(&sf, argv[1]);
    if (status == 3) {
        int e = errno;
        fprintf(stderr, "Failed to open file \"%s\" error %d: %s\n", argv[1],
                e, strerror(e));
        return 3;
    }
    Fault f = status == 0 ? loadTerms(&m, &sf) : NO_MEMORY;
    if (status == 0)
        searchFile_close(&sf);
    if (f != MERGED)
        return complain(f, &m);
    if (sf.readError != 0) {
        fprintf(stderr, "Failed to read file \"%s\" error %d: %s\n", argv[1],
                sf.readError, strerror(sf.readError));
        return 3;
    }

    f = mergeFile(&m, argc == 2 ? "-" : argv[2]);
    for (int i = 3; i < argc && f == MERGED; i++)
        f = mergeFile(&m, argv[i]);
    if (f == MERGED)
        f = checkEnd(&m);
    if (f != MERGED)
        return complain(f, &m);

    writeReport(m.entries, m.sums, m.count);
    if (int e = closeOutput(); e != 0) {
        fprintf(stderr, "Failed to write output error %d: %s\n", e,
                strerror(e));
        return 6;
    }
    return 0;
}
