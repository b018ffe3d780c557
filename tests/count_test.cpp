// The threaded count: what the random run cannot reach. Texts longer than
// the slices it hands a search, sources of blocks, files that cannot be
// read at offsets, faults, a stop asked for midway, and many counts of one
// index at once.
#include "count.h"
#include "frontend.h"
#include "process.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace support;

// Over 3 MiB of lines, so that pieces and slices are cut in many places.
std::string
longText()
{
    std::string text;
    for (int i = 0; text.size() < (3 << 20) + 12345; i++)
        text += "line " + std::to_string(i % 977) + " the cat sat on the mat\n";
    return text + "cat";
}

const std::vector<std::string> terms = {"cat", "the", "at", "line 7", "t"};

std::vector<uint64_t>
modelCounts(Mode mode, const std::string &text,
            const std::vector<std::string> &terms = ::terms)
{
    TreePtr tree = buildTree(terms);
    return perEntry(runSearch(tree, mode, text).reports, terms.size());
}

// The indexes compiled for the tests' counts, kept for the whole run.
std::vector<ScannerPtr> compiled;

CountOptions
counting(const TreePtr &tree, Mode mode, unsigned threads, CountKeepGoingFn keepGoing = nullptr,
         void *ctx = nullptr)
{
    compiled.push_back(compileScanner(tree.get(), mode));
    return {compiled.back().get(), threads, keepGoing, ctx, 0};
}

// Hands the text over in blocks of the sizes listed, in turn, empty ones
// included; fails after `failAfter` blocks if that is not -1.
struct Blocks {
    const std::string *text;
    std::vector<size_t> sizes;
    size_t pos = 0, handed = 0;
    long failAfter = -1;
};

int
nextBlock(void *source, const void **bytes, size_t *size)
{
    Blocks *b = static_cast<Blocks *>(source);
    if (b->failAfter >= 0 && b->handed == static_cast<size_t>(b->failAfter))
        return -1;
    if (b->pos == b->text->size())
        return 0;
    *size = std::min(b->sizes[b->handed++ % b->sizes.size()], b->text->size() - b->pos);
    *bytes = b->text->data() + b->pos;
    b->pos += *size;
    return 1;
}

TEST(Count, EveryFormGivesOneSearchsCounts)
{
    const std::string text = longText();
    std::string path = process::writeFile("long", text);
    // A line feed in a term keeps the text whole.
    std::vector<std::string> withLineFeed = terms;
    withLineFeed.push_back("mat\n");
    for (const std::vector<std::string> &list : {terms, withLineFeed})
    for (Mode mode : {Any, Word, Line}) {
        TreePtr tree = buildTree(list);
        std::vector<uint64_t> want = modelCounts(mode, text, list);
        for (unsigned threads : {1u, 2u, 3u, 8u}) {
            SCOPED_TRACE(std::to_string(list.size()) + " terms, mode " +
                         std::to_string(mode) + ", threads " + std::to_string(threads));
            CountOptions c = counting(tree, mode, threads);
            std::vector<uint64_t> mem(list.size()), file(list.size()), blocks(list.size());
            EXPECT_EQ(count_memory(&c, text.data(), text.size(), mem.data()).kind, FAULT_NONE);
            EXPECT_EQ(count_file(&c, path.c_str(), file.data()).kind, FAULT_NONE);
            Blocks b{&text, {1, 0, 4095, 1 << 20, 3 << 20, 7}};
            EXPECT_EQ(count_blocks(&c, nextBlock, &b, blocks.data()).kind, FAULT_NONE);
            std::vector<uint64_t> twice(list.size()), doubled = want;
            const char *paths[] = {path.c_str(), path.c_str()};
            size_t failed = 7;
            EXPECT_EQ(count_files(&c, paths, 2, twice.data(), &failed).kind, FAULT_NONE);
            ASSERT_TRUE(count_add(doubled.data(), want.data(), want.size()));
            EXPECT_EQ(mem, want);
            EXPECT_EQ(file, want);
            EXPECT_EQ(blocks, want);
            EXPECT_EQ(twice, doubled);
            EXPECT_EQ(failed, 7u) << "a count that did not fail names a file";
        }
    }
}

TEST(Count, AFileThatCannotSeekIsReadThrough)
{
    const std::string text = longText();
    std::string fifo = process::scratch() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        FILE *f = fopen(fifo.c_str(), "wb");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    });
    TreePtr tree = buildTree(terms);
    CountOptions c = counting(tree, Word, 4);
    std::vector<uint64_t> got(terms.size());
    EXPECT_EQ(count_file(&c, fifo.c_str(), got.data()).kind, FAULT_NONE);
    writer.join();
    EXPECT_EQ(got, modelCounts(Word, text));
}

bool
stopAtOnce(void *asked, uint64_t, uint64_t)
{
    ++*static_cast<int *>(asked);
    return false;
}

TEST(Count, Faults)
{
    const std::string text = longText();
    std::string path = process::writeFile("long", text);
    TreePtr tree = buildTree(terms);
    std::vector<uint64_t> counts(terms.size());
    struct FaultCase {
        const char *name;
        Fault want;
        std::function<Fault(CountOptions *)> run;
    };
    const FaultCase cases[] = {
        {"missing file", {FAULT_OPEN, ENOENT},
         [&](CountOptions *c) { return count_file(c, "/nonexistent/x", counts.data()); }},
        {"a folder", {FAULT_READ, EISDIR},
         [&](CountOptions *c) { return count_file(c, process::scratch().c_str(), counts.data()); }},
        {"source fails at once", {FAULT_SOURCE, 0},
         [&](CountOptions *c) {
             Blocks b{&text, {100}, 0, 0, 0};
             return count_blocks(c, nextBlock, &b, counts.data());
         }},
        {"the second of three files missing", {FAULT_OPEN, ENOENT},
         [&](CountOptions *c) {
             const char *paths[] = {path.c_str(), "/nonexistent/x", path.c_str()};
             size_t failed = 0;
             Fault f = count_files(c, paths, 3, counts.data(), &failed);
             EXPECT_EQ(failed, 1u);
             return f;
         }},
        {"source fails midway", {FAULT_SOURCE, 0},
         [&](CountOptions *c) {
             Blocks b{&text, {100}, 0, 0, 5};
             return count_blocks(c, nextBlock, &b, counts.data());
         }},
    };
    for (const FaultCase &fc : cases)
        for (unsigned threads : {1u, 3u}) {
            SCOPED_TRACE(std::string(fc.name) + ", threads " + std::to_string(threads));
            CountOptions c = counting(tree, Any, threads);
            Fault f = fc.run(&c);
            EXPECT_EQ(f.kind, fc.want.kind);
            EXPECT_EQ(f.error, fc.want.error);
        }
}

TEST(Count, AStopAskedForEndsTheCount)
{
    // Long enough that the first question comes before the end.
    std::string text;
    for (int i = 0; i < 64; i++)
        text += std::string(1 << 20, 'a') + "\n";
    TreePtr tree = buildTree({std::string(200, 'a'), "a"});
    for (unsigned threads : {1u, 2u, 4u}) {
        SCOPED_TRACE(threads);
        int asked = 0;
        CountOptions c = counting(tree, Any, threads, stopAtOnce, &asked);
        std::vector<uint64_t> counts(2);
        std::string path = process::writeFile("as", text);
        EXPECT_EQ(count_memory(&c, text.data(), text.size(), counts.data()).kind, FAULT_STOPPED);
        EXPECT_EQ(count_file(&c, path.c_str(), counts.data()).kind, FAULT_STOPPED);
        EXPECT_EQ(asked, 2) << "asked again after it said to stop";
    }
}

// Changes a file once the count has scanned a slice, when each piece has
// read no more than its first block. Until then each answer takes a little
// over the count's interval between two looks, so that its next look comes
// at once.
struct Changing {
    std::string path;
    std::function<void(const std::string &)> change;
    bool changed = false;
};

bool
changeOnceScanning(void *ctx, uint64_t done, uint64_t)
{
    Changing *s = static_cast<Changing *>(ctx);
    if (!s->changed && done == 0) {
        usleep(110'000);
    } else if (!s->changed) {
        s->change(s->path);
        s->changed = true;
    }
    return true;
}

// A file written under a count: its counts would mix two texts, or count a
// part of one, so the count fails on every thread count and in count_files,
// whichever piece has read how far, and however the file changed. The
// change comes while the calling thread reads its piece.
TEST(Count, AFileThatChangesFailsTheCount)
{
    const std::string text = longText();
    TreePtr tree = buildTree(terms);
    auto cutTo = [](off_t size) {
        return [size](const std::string &path) { EXPECT_EQ(truncate(path.c_str(), size), 0); };
    };
    const struct {
        const char *name;
        std::function<void(const std::string &)> change;
    } cases[] = {
        {"cut to its first block", cutTo(1 << 20)},
        {"cut past where any piece has read", cutTo(text.size() - 100)},
        {"grown", cutTo(text.size() + 100)},
        {"rewritten in place", [&](const std::string &path) {
             std::string other = text;
             std::replace(other.begin(), other.end(), 'c', 'k');
             FILE *f = fopen(path.c_str(), "r+b");
             ASSERT_NE(f, nullptr);
             EXPECT_EQ(fwrite(other.data(), 1, other.size(), f), other.size());
             fclose(f);
         }},
    };
    for (const auto &tc : cases)
        for (unsigned threads : {1u, 2u, 4u})
            for (bool many : {false, true}) {
                SCOPED_TRACE(std::string(tc.name) + ", threads " + std::to_string(threads)
                             + (many ? ", count_files" : ", count_file"));
                Changing changing{process::writeFile("changes", text), tc.change};
                // Written long ago, so that a write now is seen by its time.
                const timespec old[2] = {{946684800, 0}, {946684800, 0}};
                ASSERT_EQ(utimensat(AT_FDCWD, changing.path.c_str(), old, 0), 0);
                CountOptions c = counting(tree, Any, threads, changeOnceScanning, &changing);
                std::vector<uint64_t> got(terms.size());
                // The file twice, so that the calling thread, which asks
                // keepGoing, reads one of them whichever it takes.
                const char *paths[] = {changing.path.c_str(), changing.path.c_str()};
                size_t failed = 0;
                Fault f = many ? count_files(&c, paths, 2, got.data(), &failed)
                               : count_file(&c, changing.path.c_str(), got.data());
                EXPECT_TRUE(changing.changed);
                EXPECT_EQ(f.kind, FAULT_READ);
                EXPECT_EQ(f.error, ESTALE);
                if (many)
                    EXPECT_LT(failed, 2u);
            }
}

// A SIGBUS the count did not cause, raised while it reads a mapped file,
// gets what the program had set for it: its handler, or nothing if it
// ignores the signal; and that is the program's again once the count is
// over, on count_file and on count_files.
volatile sig_atomic_t busSeen;

void
seeBus(int)
{
    busSeen = busSeen + 1;
}

bool
raiseBusOnce(void *ctx, uint64_t, uint64_t)
{
    bool *raised = static_cast<bool *>(ctx);
    if (!*raised) {
        *raised = true;
        raise(SIGBUS);
    }
    return true;
}

TEST(Count, ASigbusNotOursGetsWhatTheProgramSet)
{
    const std::string text = longText();
    std::string path = process::writeFile("mapped", text);
    TreePtr tree = buildTree(terms);
    const struct {
        const char *name;
        void (*handler)(int);
        int seen;
    } cases[] = {
        {"a handler", seeBus, 1},
        {"ignored", SIG_IGN, 0},
    };
    struct sigaction before;
    ASSERT_EQ(sigaction(SIGBUS, nullptr, &before), 0);
    for (const auto &tc : cases)
        for (bool many : {false, true}) {
            SCOPED_TRACE(std::string(tc.name) + (many ? ", count_files" : ", count_file"));
            struct sigaction mine = {}, after;
            mine.sa_handler = tc.handler;
            sigemptyset(&mine.sa_mask);
            ASSERT_EQ(sigaction(SIGBUS, &mine, nullptr), 0);
            busSeen = 0;
            bool raised = false;
            CountOptions c = counting(tree, Any, 1, raiseBusOnce, &raised);
            std::vector<uint64_t> got(terms.size());
            const char *paths[] = {path.c_str()};
            Fault f = many ? count_files(&c, paths, 1, got.data(), nullptr)
                           : count_file(&c, path.c_str(), got.data());
            EXPECT_EQ(f.kind, FAULT_NONE);
            EXPECT_EQ(got, modelCounts(Any, text));
            EXPECT_TRUE(raised);
            EXPECT_EQ(busSeen, tc.seen);
            ASSERT_EQ(sigaction(SIGBUS, nullptr, &after), 0);
            EXPECT_EQ(after.sa_handler, tc.handler);
        }
    sigaction(SIGBUS, &before, nullptr);
}

// Says to stop once the bytes at `ctx` are counted: a regular file read
// before the pipe, or beside it.
bool
stopOnceCounted(void *ctx, uint64_t done, uint64_t)
{
    return done < *static_cast<const uint64_t *>(ctx);
}

// A pipe that has no writer, or one that stays silent, among regular files
// counted on threads: the thread that waits on it sees the stop, and the
// count ends. Should the wait not see it, a writer comes after a minute to
// end the test, which then fails.
TEST(Count, AStopEndsAWaitOnAPipe)
{
    const std::string text = longText();
    std::string path = process::writeFile("big", text);
    std::string fifo = process::scratch() + "/silent";
    TreePtr tree = buildTree(terms);
    for (bool writer : {false, true})
        for (unsigned threads : {1u, 2u}) {
            SCOPED_TRACE(std::string(writer ? "a silent writer" : "no writer") + ", threads "
                         + std::to_string(threads));
            unlink(fifo.c_str());
            ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
            std::mutex m;
            std::condition_variable cv;
            bool over = false, rescued = false;
            std::thread other([&] {
                std::unique_lock<std::mutex> lock(m);
                int fd = -1;
                auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
                while (!over) {
                    if (fd < 0 && (writer || std::chrono::steady_clock::now() > deadline)) {
                        fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                        rescued = fd >= 0 && !writer;
                    }
                    cv.wait_for(lock, std::chrono::milliseconds(20));
                }
                if (fd >= 0)
                    close(fd);
            });
            uint64_t bigFile = text.size();
            CountOptions c = counting(tree, Any, threads, stopOnceCounted, &bigFile);
            std::vector<uint64_t> got(terms.size());
            const char *paths[] = {path.c_str(), fifo.c_str(), path.c_str()};
            size_t failed = 0;
            Fault f = count_files(&c, paths, 3, got.data(), &failed);
            {
                std::lock_guard<std::mutex> lock(m);
                over = true;
            }
            cv.notify_all();
            other.join();
            EXPECT_EQ(f.kind, FAULT_STOPPED);
            EXPECT_FALSE(rescued) << "the count waited for a writer";
        }
}

// A compressed file's text, compressed by its format's own program, as two
// streams back to back; `tool` is the program's command line.
std::string
compressed(const char *tool, const std::string &plain, const std::string &name)
{
    std::string packed = process::scratch() + "/" + name;
    std::string cmd = "(head -c 1000 '" + plain + "' | " + tool + " -c && tail -c +1001 '" +
                      plain + "' | " + tool + " -c) > '" + packed + "'";
    return std::system(cmd.c_str()) == 0 ? process::readFile(packed) : std::string();
}

TEST(Count, ACompressedFileCountsAsItsText)
{
    const std::string text = longText();
    std::string plain = process::writeFile("plain", text);
    TreePtr tree = buildTree(terms);
    std::vector<uint64_t> want = modelCounts(Word, text), thrice = want;
    for (uint64_t &n : thrice)
        n *= 3;
    struct Case {
        const char *name;
        const char *tool;
        Compression format;
    };
    const Case cases[] = {{"gzip", "gzip", COMPRESSION_GZIP},
                          {"bzip2", "bzip2", COMPRESSION_BZIP2},
                          {"xz", "xz", COMPRESSION_XZ},
                          {"zstd", "zstd -q", COMPRESSION_ZSTD}};
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        std::string bytes = compressed(tc.tool, plain, std::string("whole.") + tc.name);
        ASSERT_FALSE(bytes.empty()) << "needs " << tc.tool;
        std::string packed = process::writeFile(std::string("packed.") + tc.name, bytes);
        for (unsigned threads : {1u, 3u}) {
            SCOPED_TRACE(threads);
            CountOptions c = counting(tree, Word, threads);
            std::vector<uint64_t> got(terms.size());
            EXPECT_EQ(count_fileAs(&c, packed.c_str(), tc.format, got.data()).kind, FAULT_NONE);
            EXPECT_EQ(got, want);
            const char *paths[] = {plain.c_str(), packed.c_str(), plain.c_str()};
            Compression formats[] = {COMPRESSION_NONE, tc.format, COMPRESSION_NONE};
            size_t failed = 3;
            EXPECT_EQ(count_filesAs(&c, paths, formats, 3, got.data(), &failed).kind,
                      FAULT_NONE);
            EXPECT_EQ(got, thrice);
        }
        // Never the counts of part of a text: a file that holds no stream,
        // one cut short, and one of another format.
        struct Bad {
            const char *name;
            std::string bytes;
            int error;
        };
        const Bad bad[] = {{"empty", "", DECOMPRESS_ENDED_EARLY},
                           {"cut short", bytes.substr(0, bytes.size() - 3),
                            DECOMPRESS_ENDED_EARLY},
                           {"not of the format", text.substr(0, 5000), DECOMPRESS_CORRUPT}};
        for (const Bad &b : bad) {
            SCOPED_TRACE(b.name);
            std::string path = process::writeFile("bad", b.bytes);
            CountOptions c = counting(tree, Word, 2);
            std::vector<uint64_t> got(terms.size());
            Fault f = count_fileAs(&c, path.c_str(), tc.format, got.data());
            EXPECT_EQ(f.kind, FAULT_REFUSED);
            EXPECT_EQ(f.error, b.error);
            const char *paths[] = {plain.c_str(), path.c_str()};
            Compression formats[] = {COMPRESSION_NONE, tc.format};
            size_t failed = 2;
            f = count_filesAs(&c, paths, formats, 2, got.data(), &failed);
            EXPECT_EQ(f.kind, FAULT_REFUSED);
            EXPECT_EQ(failed, 1u);
        }
    }
}

TEST(Count, ManyCountsOfOneIndexAtOnce)
{
    const std::string text = longText();
    TreePtr tree = buildTree(terms);
    std::vector<uint64_t> want = modelCounts(Line, text);
    std::vector<std::vector<uint64_t>> got(6, std::vector<uint64_t>(terms.size()));
    // One compiled index for every count, as a program's threads share it.
    CountOptions one = counting(tree, Line, 1);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < got.size(); t++)
        threads.emplace_back([&, t] {
            CountOptions c = one;
            c.threads = 1 + t % 3;
            count_memory(&c, text.data(), text.size(), got[t].data());
        });
    for (std::thread &t : threads)
        t.join();
    for (const std::vector<uint64_t> &g : got)
        EXPECT_EQ(g, want);
}

// With no terms there are no counters: the caller's array may be null.
TEST(Count, NoTermsNeedNoCounters)
{
    TreePtr tree = buildTree({});
    std::string path = process::writeFile("short", "a\nb\nc\n");
    for (unsigned threads : {1u, 3u}) {
        CountOptions c = counting(tree, Word, threads);
        EXPECT_EQ(count_memory(&c, "a\nb\nc\n", 6, nullptr).kind, FAULT_NONE);
        EXPECT_EQ(count_file(&c, path.c_str(), nullptr).kind, FAULT_NONE);
    }
}

TEST(Count, AddRefusesToOverflow)
{
    std::vector<uint64_t> into = {1, UINT64_MAX - 1}, from = {5, 2};
    EXPECT_FALSE(count_add(into.data(), from.data(), 2));
    EXPECT_EQ(into, (std::vector<uint64_t>{1, UINT64_MAX - 1}));
    from = {5, 1};
    EXPECT_TRUE(count_add(into.data(), from.data(), 2));
    EXPECT_EQ(into, (std::vector<uint64_t>{6, UINT64_MAX}));
}

}  // namespace
