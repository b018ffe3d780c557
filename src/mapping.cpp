/*
 * mapping.cpp: mapped files and the SIGBUS guard of mapping.h.
 */
#include "mapping.h"

#include <csetjmp>
#include <csignal>
#include <pthread.h>
#include <sys/mman.h>

namespace {

struct Guard {
    sigjmp_buf jump;
    const unsigned char *from, *to;     /* the guarded bytes */
    Guard *outer;                       /* the guard this one is inside, or null */
};

/* The innermost guard of each thread. A guard writes it before any read
 * it guards, so the handler never meets it unallocated. */
thread_local Guard *guarded;

pthread_mutex_t installLock = PTHREAD_MUTEX_INITIALIZER;
unsigned openMappings;              /* under installLock */
struct sigaction before;            /* the handler ours took over from */

/* A SIGBUS that is not ours, handled as it would have been without us.
 * One that was sent (si_code of 0 or less) and is ignored is dropped.
 * Otherwise, where the action is the default one, or ignoring a fault,
 * which the kernel does not let be ignored, the signal is raised again
 * under the default action; it is blocked while this handler runs, so it
 * comes when the handler returns, and ends the process as it would have. */
void
passOn(int sig, siginfo_t *info, void *context)
{
    if ((before.sa_flags & SA_SIGINFO) != 0) {
        before.sa_sigaction(sig, info, context);
        return;
    }
    if (before.sa_handler == SIG_IGN && info->si_code <= 0)
        return;
    if (before.sa_handler == SIG_DFL || before.sa_handler == SIG_IGN) {
        signal(SIGBUS, SIG_DFL);
        raise(SIGBUS);
        return;
    }
    before.sa_handler(sig);
}

void
onBus(int sig, siginfo_t *info, void *context)
{
    const unsigned char *at = static_cast<const unsigned char *>(info->si_addr);
    for (Guard *g = guarded; g != nullptr; g = g->outer)
        if (info->si_code > 0 && at >= g->from && at < g->to)
            siglongjmp(g->jump, 1);
    passOn(sig, info, context);
}

bool
isOurs(const struct sigaction *a)
{
    return (a->sa_flags & SA_SIGINFO) != 0 && a->sa_sigaction == onBus;
}

bool
install()
{
    pthread_mutex_lock(&installLock);
    bool ok = true;
    if (openMappings == 0) {
        struct sigaction ours = {};
        ours.sa_sigaction = onBus;
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&ours.sa_mask);
        ok = sigaction(SIGBUS, &ours, &before) == 0;
    }
    openMappings += ok;
    pthread_mutex_unlock(&installLock);
    return ok;
}

void
uninstall()
{
    pthread_mutex_lock(&installLock);
    if (--openMappings == 0) {
        struct sigaction now;
        if (sigaction(SIGBUS, nullptr, &now) == 0 && isOurs(&now))
            sigaction(SIGBUS, &before, nullptr);
    }
    pthread_mutex_unlock(&installLock);
}

} // namespace

bool
mapping_open(int fd, size_t size, Mapping *m)
{
    *m = {nullptr, 0};
    if (size == 0 || !install())
        return false;
    void *p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
        uninstall();
        return false;
    }
    madvise(p, size, MADV_SEQUENTIAL);
    *m = {static_cast<const unsigned char *>(p), size};
    return true;
}

void
mapping_close(Mapping *m)
{
    if (m->bytes == nullptr)
        return;
    munmap(const_cast<unsigned char *>(m->bytes), m->size);
    *m = {nullptr, 0};
    uninstall();
}

bool
mapping_guard(const Mapping *m, void (*fn)(void *ctx), void *ctx)
{
    Guard g;
    g.from = m->bytes;
    g.to = m->bytes + m->size;
    g.outer = guarded;
    if (sigsetjmp(g.jump, 1) != 0) {
        guarded = g.outer;
        return false;
    }
    guarded = &g;
    fn(ctx);
    guarded = g.outer;
    return true;
}
