/*
 * frontend.cpp: the mode table, the stdio getter and the programs' shared
 * messages.
 */
#include "frontend.h"

#include <cstdlib>
#include <cstring>

void
printFileFault(const char *path, Fault f)
{
    if (path == nullptr)
        fprintf(stderr, "Failed to read input error %d: %s\n", f.error,
                strerror(f.error));
    else
        fprintf(stderr, "Failed to %s file \"%s\" error %d: %s\n",
                f.kind == FAULT_OPEN ? "open" : "read", path, f.error,
                strerror(f.error));
}

const SearchMode searchModes[3] = {
    {"any", tree_searchWith, SCAN_ANY},
    {"word", tree_searchByWordWith, SCAN_WORD},
    {"line", tree_searchByLineWith, SCAN_LINE},
};

const SearchMode *
findSearchMode(const char *name)
{
    for (const SearchMode &m : searchModes)
        if (strcmp(m.name, name) == 0)
            return &m;
    return nullptr;
}

/* Runs once per input byte: unlocked stdio keeps it to a few instructions. */
int
sgetch(void *stream)
{
    int c = getc_unlocked(static_cast<FILE *>(stream));

    return c == EOF ? -1 : c;
}

const char *
programName(int argc, char *argv[], const char *fallback)
{
    /* Linux hands an empty argument vector over as one empty name. */
    if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0')
        return argv[0];
    return fallback;
}

int
finishOutput(int status)
{
    bool failed = ferror(stdout) != 0;

    if (fclose(stdout) == 0 && !failed)
        return status;
    int e = fault_errno();
    fprintf(stderr, "Failed to write output error %d: %s\n", e, strerror(e));
    return status != 0 ? status : 6;
}
