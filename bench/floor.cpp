// The cheapest reader termcount could be: standard input byte by byte
// through a getter called through a function pointer, with nothing done per
// byte but a sum that keeps the loop from being optimised away. termcount's
// times are quoted as multiples of this one's.
#include <cstdio>

typedef int (*GetChFn)(void *stream);

static int
sgetch(void *stream)
{
    int c = getc_unlocked(static_cast<FILE *>(stream));
    return c == EOF ? -1 : c;
}

// Not inlined, so the getter stays an indirect call as in a search.
[[gnu::noinline]] static unsigned long
drain(void *stream, GetChFn getch)
{
    unsigned long sum = 0;
    for (int c; (c = getch(stream)) >= 0;)
        sum += static_cast<unsigned>(c);
    return sum;
}

int
main()
{
    GetChFn volatile getch = sgetch;
    printf("%lu\n", drain(stdin, getch));
    return 0;
}
