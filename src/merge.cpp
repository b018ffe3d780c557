/*
 * termcount-merge: adds up the reports of termcount runs over shards of a
 * text and slices of a search file, and prints the report one run over the
 * whole text with the whole file would have printed.
 */
#include "frontend.h"
#include "merger.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

/* Prints the message for `f` and returns its exit status. */
static int
complain(MergeFault f, const Merge *m)
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
            printFileFault(m->name, {f == OPEN_FAILED ? FAULT_OPEN : FAULT_READ,
                                     m->error});
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
    Fault load = merge_loadTerms(&m, argv[1]);
    if (load.kind == FAULT_MEMORY)
        return complain(NO_MEMORY, &m);
    if (load.kind != FAULT_NONE) {
        printFileFault(argv[1], load);
        return 3;
    }

    MergeFault f = merge_file(&m, argc == 2 ? "-" : argv[2]);
    for (int i = 3; i < argc && f == MERGED; i++)
        f = merge_file(&m, argv[i]);
    if (f == MERGED)
        f = merge_end(&m);
    if (f != MERGED)
        return complain(f, &m);

    writeReport(stdout, m.entries, m.sums, m.count);
    if (int e = closeOutput(); e != 0) {
        fprintf(stderr, "Failed to write output error %d: %s\n", e,
                strerror(e));
        return 6;
    }
    return 0;
}
