/*
 * termcount-merge: adds up the reports of termcount runs over shards of a
 * text and slices of a search file, and prints the report one run over the
 * whole text with the whole file would have printed.
 */
#include "frontend.h"
#include "merger.h"

#include <cinttypes>
#include <cstdio>

/* Prints why the input was refused, naming the row at fault. */
static void
printRefusal(const Merge *m)
{
    const char *reason = nullptr;
    uint64_t number = m->next + 1, total = m->count;

    switch (m->refusal) {
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
}

/* Prints the message for `f`, met while merging, and returns its exit
 * status. */
static int
complain(Fault f, const Merge *m)
{
    switch (f.kind) {
    case FAULT_NONE:
        return 0;
    case FAULT_MEMORY:
        /* README documents this message, where termcount says "tree_create
         * failed" for the same fault: each program keeps the one its users
         * and their scripts know. */
        fputs("Out of memory\n", stderr);
        return 4;
    case FAULT_OPEN:
    case FAULT_READ:
        printFileFault(m->name, f);
        return 5;
    case FAULT_REFUSED:
    case FAULT_STOPPED:  /* a merge is never asked to stop */
    case FAULT_SOURCE:   /* nor reads through a caller's source */
    case FAULT_LIMIT:    /* nor compiles a list */
        break;
    }
    printRefusal(m);
    return 7;
}

int
main(int argc, char *argv[])
{
    if (argc < 2) {
        fprintf(stderr,
                "usage: %s searchfile [report ...]\n\n"
                "reports are read from standard input when none is named, "
                "and where - is named\n",
                programName(argc, argv, "termcount-merge"));
        return 1;
    }

    static Merge m;  /* kept to the end, like termcount's index */
    Fault f = merge_loadTerms(&m, argv[1]);
    if (f.kind == FAULT_OPEN || f.kind == FAULT_READ) {
        /* The search file's status; a report's file faults give 5. */
        printFileFault(argv[1], f);
        return 3;
    }

    if (f.kind == FAULT_NONE)
        f = merge_file(&m, argc == 2 ? "-" : argv[2]);
    for (int i = 3; i < argc && f.kind == FAULT_NONE; i++)
        f = merge_file(&m, argv[i]);
    if (f.kind == FAULT_NONE)
        f = merge_end(&m);
    if (f.kind != FAULT_NONE)
        return complain(f, &m);

    searchFile_writeReport(stdout, m.entries, m.sums, m.count);
    return finishOutput(0);
}
