// How fast a regular file's bytes reach a scan: pread into one buffer of
// 1, 4 or 16 MiB, or a private read-only mapping read in order (its pages
// faulted in as it goes, or all at once), each with a
// pass over the bytes as cheap as a prefiltered scan (line feeds counted
// with memchr); and the file in two halves on two threads, as a count on
// two threads reads it. Usage: read_bench FILE [RUNS]; prints the median
// of each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
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
byPread(int fd, off_t from, off_t to, size_t block)
{
    std::vector<unsigned char> buffer(block);
    size_t count = 0;
    for (off_t at = from; at < to;) {
        ssize_t n = pread(fd, buffer.data(), std::min<off_t>(block, to - at), at);
        if (n <= 0)
            exit(1);
        count += lineFeeds(buffer.data(), n);
        at += n;
    }
    return count;
}

// The line feeds of [from, to) of the file mapped at `p`.
size_t
inMapping(const unsigned char *p, off_t from, off_t to)
{
    return lineFeeds(p + from, to - from);
}

struct Way {
    const char *name;
    size_t block;       // pread's; 0: a mapping
    int flags;          // the mapping's
    unsigned threads;
};

// The line feeds of the file, read as `w` says, its threads each taking
// an equal range.
size_t
readAll(const Way &w, int fd, off_t size)
{
    const unsigned char *map = nullptr;
    if (w.block == 0) {
        void *p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | w.flags, fd, 0);
        if (p == MAP_FAILED)
            exit(1);
        madvise(p, size, MADV_SEQUENTIAL);
        map = static_cast<const unsigned char *>(p);
    }
    std::vector<size_t> counts(w.threads);
    std::vector<std::thread> others;
    auto range = [&](unsigned t) {
        off_t from = size * t / w.threads, to = size * (t + 1) / w.threads;
        counts[t] = map ? inMapping(map, from, to) : byPread(fd, from, to, w.block);
    };
    for (unsigned t = 1; t < w.threads; t++)
        others.emplace_back(range, t);
    range(0);
    for (std::thread &t : others)
        t.join();
    if (map)
        munmap(const_cast<unsigned char *>(map), size);
    size_t count = 0;
    for (size_t c : counts)
        count += c;
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
    const Way ways[] = {{"pread 1 MiB", 1 << 20, 0, 1},
                        {"pread 4 MiB", 4 << 20, 0, 1},
                        {"pread 16 MiB", 16 << 20, 0, 1},
                        {"mmap, sequential", 0, 0, 1},
                        {"mmap, populated", 0, MAP_POPULATE, 1},
                        {"pread 1 MiB, 2 threads", 1 << 20, 0, 2},
                        {"mmap, 2 threads", 0, 0, 2}};
    for (const Way &w : ways) {
        std::vector<double> times;
        size_t count = 0;
        for (int r = 0; r < runs; r++) {
            auto t0 = std::chrono::steady_clock::now();
            count = readAll(w, fd, st.st_size);
            times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
                                .count());
        }
        std::sort(times.begin(), times.end());
        printf("%-24s %.4f s  (%zu line feeds)\n", w.name, times[times.size() / 2], count);
    }
    return 0;
}
