/*
 * fault.h: why a load, a count or a merge failed, in the one form every
 * front end receives it: a kind and the system's error number. Each front
 * end turns it into its own form, a message and an exit status or an
 * exception.
 */
#ifndef TERMCOUNT_FAULT_H
#define TERMCOUNT_FAULT_H

#include <cerrno>

enum FaultKind {
    FAULT_NONE,     /* nothing failed */
    FAULT_OPEN,     /* a file cannot be opened; error says why */
    FAULT_READ,     /* reading a file failed; error says why */
    FAULT_MEMORY,   /* memory ran out */
    FAULT_STOPPED,  /* the caller asked a count to stop */
    FAULT_SOURCE,   /* the caller's block source failed; it knows why */
    FAULT_REFUSED,  /* the input breaks its format; its reader keeps which
                     * rule and where */
    FAULT_LIMIT,    /* a term list past what a compiled index can number:
                     * 2^32 - 1 entries, or as many states */
};

struct Fault {
    FaultKind kind;
    int error;      /* errno for FAULT_OPEN and FAULT_READ, never 0; else 0 */
};

/* The errno of a call that just failed, for a Fault. A call that failed
 * without saying why gives EIO: a fault always has a reason. */
inline int
fault_errno()
{
    return errno != 0 ? errno : EIO;
}

#endif
