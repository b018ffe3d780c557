// Scale: counts past 32 bits, the design's worst-case walk, and a term as
// long as a search file line can be. Seconds to a minute each in a release
// build; labelled expensive, and left out of the sanitizer run. Each run
// may take twenty minutes before it counts as hung: a debug build on a
// loaded machine is many times slower.
#include "process.h"

#include <gtest/gtest.h>

#include <thread>

using namespace process;

namespace {

Options
slow()
{
    Options o;
    o.hangBound = 1200;
    return o;
}

// 2^32 + 1 bytes of 'a' through a pipe, never stored: a 32-bit counter
// would report 1.
TEST(Expensive, CountPast32Bits)
{
    const uint64_t total = (uint64_t(1) << 32) + 1;
    int fds[2];
    // Close-on-exec, so that termcount holds no write end and sees the end.
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    std::thread writer([&] {
        std::string chunk(1 << 20, 'a');
        for (uint64_t left = total; left > 0;) {
            size_t n = left < chunk.size() ? left : chunk.size();
            ssize_t w = write(fds[1], chunk.data(), n);
            if (w <= 0)
                break;
            left -= static_cast<uint64_t>(w);
        }
        close(fds[1]);
    });
    Options o = slow();
    o.in = "/dev/fd/" + std::to_string(fds[0]);
    Result r = run({"t", writeFile("terms", "a\n")}, o);
    writer.join();
    close(fds[0]);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "4294967297 a\n");
}

// Terms 'a' to 1,000 'a's over 1,000,000 'a's: every position walks 1,000
// steps. A term of k bytes occurs 1,000,001 - k times.
TEST(Expensive, NestedRunsOfOneByte)
{
    std::string terms, want;
    for (int k = 1; k <= 1000; k++) {
        terms += std::string(k, 'a') + "\n";
        want += std::to_string(1000001 - k) + " " + std::string(k, 'a') + "\n";
    }
    Options o = slow();
    o.in = writeFile("text", std::string(1000000, 'a'));
    Result r = run({"t", writeFile("terms", terms), "any"}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == want) << "reports differ";
}

// A term of the longest line the reader takes whole, and a longer line that
// splits into that same term and a remainder. The trie holds one path of a
// million nodes, each with its table: about 2 GiB.
TEST(Expensive, LongestTerm)
{
    const std::string term = "y" + std::string(1048574, 'x');
    std::string terms = term + "\n" + term + "tail\n";
    std::string text = term + "\n" + term + "tail";
    struct {
        const char *mode;
        std::string want;
    } cases[] = {
        {"any", "0 " + term + "\n2 " + term + "\n1 tail\n"},
        {"line", "0 " + term + "\n1 " + term + "\n0 tail\n"},
    };
    std::string termsPath = writeFile("terms", terms);
    std::string textPath = writeFile("text", text);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        Options o = slow();
        o.in = textPath;
        Result r = run({"t", termsPath, c.mode}, o);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.out == c.want) << r.out.substr(0, 40);
    }
}

}  // namespace
