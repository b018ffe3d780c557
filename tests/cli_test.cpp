// The termcount executable as a process: arguments, files, standard streams
// and exit statuses.
#include "process.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace std::string_literals;

namespace {

using namespace process;

// What termcount sees as its name: under a wrapper command it is started by
// its path.
std::string
invokedAs(const std::string &name)
{
    return execPrefix().empty() ? name : TERMCOUNT_BIN;
}

Result
run(const std::vector<std::string> &args, const std::string &in,
    const std::string &out = "")
{
    Options o;
    o.in = in;
    o.out = out;
    return process::run(args, o);
}

std::string
usage(const std::string &name)
{
    return "usage: " + invokedAs(name) +
           " searchfile [mode] < inputfile\n\n"
           "mode = any, word or line. default is any\n";
}

TEST(Cli, Failures)
{
    std::string terms = writeFile("terms", "a\n");
    std::string text = writeFile("text", "a a\n");
    std::string missing = scratch() + "/missing";
    struct FailCase {
        const char *name;
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const FailCase cases[] = {
        {"no arguments", {"prog"}, 1, usage("prog")},
        {"too many arguments", {"prog", terms, "any", "x"}, 1, usage("prog")},
        {"mode in capitals", {"prog", terms, "ANY"}, 2, "invalid mode\n"},
        {"unknown mode", {"prog", terms, "words"}, 2, "invalid mode\n"},
        {"empty mode", {"prog", terms, ""}, 2, "invalid mode\n"},
        {"mode checked before the file", {"prog", missing, "x"}, 2,
         "invalid mode\n"},
        {"missing search file", {"prog", missing}, 3,
         "Failed to open file \"" + missing + "\"" + sysError(ENOENT)},
        {"search file is a directory", {"prog", scratch()}, 3,
         "Failed to read file \"" + scratch() + "\"" + sysError(EISDIR)},
    };
    for (const FailCase &c : cases) {
        SCOPED_TRACE(c.name);
        Result r = run(c.args, text);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST(Cli, NoProgramName)
{
    if (!execPrefix().empty())
        GTEST_SKIP() << "a wrapper gives termcount a name";
    std::string err = scratch() + "/noname.err";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        alarm(hangBound);
        char *argv[] = {nullptr};
        execv(TERMCOUNT_BIN, argv);
        _exit(127);
    }
    int ws;
    waitpid(pid, &ws, 0);
    ASSERT_TRUE(WIFEXITED(ws));
    EXPECT_EQ(WEXITSTATUS(ws), 1);
    EXPECT_EQ(readFile(err), "usage: termcount searchfile [mode] < inputfile\n\n"
                             "mode = any, word or line. default is any\n");
}

TEST(Cli, Reports)
{
    struct ReportCase {
        const char *name;
        std::string terms;
        std::vector<std::string> mode;  // empty: the default
        std::string text;
        std::string want;
    };
    const ReportCase cases[] = {
        {"empty search file", "", {"any"}, "abc", ""},
        {"only line feeds", "\n\n\n", {"word"}, "abc", ""},
        {"default mode is any", "aa\n", {}, "aaaa", "3 aa\n"},
        {"zeros included, file order", "zz\nb\na\n", {}, "ab", "0 zz\n1 b\n1 a\n"},
        {"earlier duplicate stays 0", "foo\nbar\nfoo\n", {"any"}, "foo bar foo",
         "0 foo\n1 bar\n2 foo\n"},
        {"no final line feed", "a\nbc", {"any"}, "abc", "1 a\n1 bc\n"},
        {"CR LF terms keep the CR", "abc\r\nx\r\n", {"line"},
         "abc\r\nabc\nx\r\n", "1 abc\r\n1 x\r\n"},
        {"lone CR line counts carriage returns", "\r\n", {"any"}, "a\r\nb\r\n",
         "2 \r\n"},
        {"NUL ends a term", "ab\0cd\n\0x\n"s, {"any"}, "ab cd x", "1 ab\n"},
        {"spaces are a term", "  \n", {"any"}, "a   b", "2   \n"},
        {"raw bytes printed as stored", "caf\xc3\xa9\n\xff\n", {"any"},
         "caf\xc3\xa9\xff", "1 caf\xc3\xa9\n1 \xff\n"},
        {"word mode", "cat\nend.\n", {"word"}, "cat concat cat. the end.",
         "2 cat\n1 end.\n"},
        {"line mode, last line without LF", "abc\n", {"line"}, "abc\nxabc\nabc",
         "2 abc\n"},
    };
    for (const ReportCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"termcount",
                                         writeFile("terms", c.terms)};
        args.insert(args.end(), c.mode.begin(), c.mode.end());
        Result r = run(args, writeFile("text", c.text));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.want);
        EXPECT_EQ(r.err, "");
    }
}

// A line is read in pieces of 1,048,575 bytes. A NUL early in the first
// piece keeps its term short (a long term costs a trie node per byte), while
// the rest of the line still comes back as a term of its own.
TEST(Cli, LongLinesAreSplit)
{
    const size_t max = 1048575;
    std::string terms = "ab\0"s + std::string(max - 2, 'x') + "yz\n" +
                        "c\0"s + std::string(max - 2, 'x') + "\n";
    Result r = run({"termcount", writeFile("terms", terms)},
                   writeFile("text", "ab xyz c"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1 ab\n1 xyz\n1 c\n");
}

TEST(Cli, StdinIsReadOnlyWhenNeeded)
{
    std::string empty = writeFile("terms", "");
    std::string text = writeFile("text", "some text\n");
    EXPECT_EQ(run({"t", empty, "any"}, text).stdinOffset, 0);
    EXPECT_EQ(run({"t", empty, "word"}, text).stdinOffset, 10);
    EXPECT_EQ(run({"t", empty, "line"}, text).stdinOffset, 10);
}

TEST(Cli, InputAndOutputErrors)
{
    std::string terms = writeFile("terms", "a\n");
    std::string text = writeFile("text", "a");

    Result dirIn = run({"t", terms}, scratch());
    EXPECT_EQ(dirIn.status, 5);
    EXPECT_EQ(dirIn.out, "0 a\n");
    EXPECT_EQ(dirIn.err, "Failed to read input" + sysError(EISDIR));

    Result full = run({"t", terms}, text, "/dev/full");
    EXPECT_EQ(full.status, 6);
    EXPECT_EQ(full.err, "Failed to write output" + sysError(ENOSPC));

    Result closed = run({"t", terms}, text, "-");
    EXPECT_EQ(closed.status, 6);
    EXPECT_EQ(closed.err, "Failed to write output" + sysError(EBADF));
}

}  // namespace

namespace {

TEST(Cli, HostileTexts)
{
    struct TextCase {
        const char *name;
        std::string terms;
        std::string text;
        const char *want[3];  // any, word, line
    };
    const TextCase cases[] = {
        {"only 0xFF and NUL bytes", "\xff\n\xff\xff\n", "\xff\0\xff\xff\0"s,
         {"3 \xff\n1 \xff\xff\n", "0 \xff\n0 \xff\xff\n", "0 \xff\n0 \xff\xff\n"}},
        {"no line feed at all", "abc\nabc abc\n", "abc abc",
         {"2 abc\n1 abc abc\n", "2 abc\n1 abc abc\n", "0 abc\n1 abc abc\n"}},
    };
    const char *modes[] = {"any", "word", "line"};
    for (const TextCase &c : cases)
        for (int m = 0; m < 3; m++) {
            SCOPED_TRACE(std::string(c.name) + " " + modes[m]);
            Result r = run({"t", writeFile("terms", c.terms), modes[m]},
                           writeFile("text", c.text));
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, c.want[m]);
        }
}

TEST(Cli, ClosedPipeDownstream)
{
    std::string terms = writeFile("terms", "a\n");
    std::string text = writeFile("text", "aaa");
    for (bool ignore : {false, true}) {
        SCOPED_TRACE(ignore ? "SIGPIPE ignored" : "SIGPIPE default");
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        close(fds[0]);
        Options o;
        o.in = text;
        o.outFd = fds[1];
        o.ignoreSigpipe = ignore;
        Result r = process::run({"t", terms}, o);
        close(fds[1]);
        if (ignore) {
            EXPECT_EQ(r.status, 6);
            EXPECT_EQ(r.err, "Failed to write output" + sysError(EPIPE));
        } else {
            EXPECT_EQ(r.signal, SIGPIPE);
        }
    }
}

TEST(Cli, OutOfMemoryWhileLoading)
{
    if (underSanitizerOrWrapper())
        GTEST_SKIP() << "sanitizers and valgrind need more address space";
    std::string terms;
    for (unsigned i = 0; i < 40000; i++)
        terms += std::to_string(i * 7919u) + "\n";
    Options o;
    o.in = writeFile("text", "1");
    o.addressLimit = 64u << 20;
    Result r = process::run({"t", writeFile("terms", terms)}, o);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "tree_create failed\n");
    EXPECT_EQ(r.out, "");
}

// Read errors injected with strace, on standard input and on the search file.
TEST(Cli, InjectedReadErrors)
{
    if (system("strace -V >/dev/null 2>&1") != 0 || !execPrefix().empty())
        GTEST_SKIP() << "needs strace, and no other wrapper";
    // LeakSanitizer cannot run under ptrace; the leak checks run elsewhere.
    std::string saved = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (saved + ":detect_leaks=0").c_str(), 1);
    std::string terms = writeFile("terms", "a\n");
    std::string text = writeFile("text", "aaa");
    auto inject = [](const std::string &path) {
        Options o;
        o.wrapper = {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=read",
                     "-e", "inject=read:error=EIO", "-P", path};
        return o;
    };
    Options o = inject(text);
    o.in = text;
    Result r = process::run({"t", terms}, o);
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, "0 a\n");
    EXPECT_EQ(r.err, "Failed to read input" + sysError(EIO));

    o = inject(terms);
    o.in = text;
    r = process::run({"t", terms}, o);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Failed to read file \"" + terms + "\"" + sysError(EIO));
    setenv("ASAN_OPTIONS", saved.c_str(), 1);
}

}  // namespace
