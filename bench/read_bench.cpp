// How fast a regular file's bytes reach a scan: pread into one buffer of
// 1, 4 or 16 MiB, or a private read-only mapping read in order (its pages
// faulted in as it goes, or all at once), each with a
// pass over the bytes as cheap as a prefiltered scan (line feeds counted
// with memchr). Usage: read_bench FILE [RUNS]; prints the median of each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

size_t
lineFeeds(const unsigned char *p, size_t n)
{
    size_t count = 0;
    for (const unsigned char *end = p + n;
         (p = static_cast<const unsigned char *>(memchr(p, '\n', end - p))) != nullptr; p++)
        count++;
    return count;
}

size_t
byPread(int fd, off_t size, size_t block)
{
    std::vector<unsigned char> buffer(block);
    size_t count = 0;
    for (off_t at = 0; at < size;) {
        ssize_t n = pread(fd, buffer.data(), block, at);
        if (n <= 0)
            exit(1);
        count += lineFeeds(buffer.data(), n);
        at += n;
    }
    return count;
}

size_t
byMapping(int fd, off_t size, int flags)
{
    void *p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | flags, fd, 0);
    if (p == MAP_FAILED)
        exit(1);
    madvise(p, size, MADV_SEQUENTIAL);
    size_t count = lineFeeds(static_cast<const unsigned char *>(p), size);
    munmap(p, size);
    return count;
}

} // namespace

int
main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    int runs = argc > 2 ? atoi(argv[2]) : 5;
    int fd = open(argv[1], O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return 1;
    struct Way {
        const char *name;
        size_t block;
        int flags;
    } ways[] = {{"pread 1 MiB", 1 << 20, 0}, {"pread 4 MiB", 4 << 20, 0},
                {"pread 16 MiB", 16 << 20, 0}, {"mmap, sequential", 0, 0},
                {"mmap, populated", 0, MAP_POPULATE}};
    for (const Way &w : ways) {
        std::vector<double> times;
        size_t count = 0;
        for (int r = 0; r < runs; r++) {
            auto t0 = std::chrono::steady_clock::now();
            count = w.block ? byPread(fd, st.st_size, w.block)
                            : byMapping(fd, st.st_size, w.flags);
            times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
                                .count());
        }
        std::sort(times.begin(), times.end());
        printf("%-18s %.4f s  (%zu line feeds)\n", w.name, times[times.size() / 2], count);
    }
    return 0;
}
