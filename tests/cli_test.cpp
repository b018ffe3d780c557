// The termcount executable as a process: arguments, files, standard streams
// and exit statuses.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace std::string_literals;

namespace {

const std::string scratch = [] {
    char dir[] = "/tmp/termcount-cli-XXXXXX";
    return std::string(mkdtemp(dir));
}();

std::string
writeFile(const std::string &name, const std::string &bytes)
{
    std::string path = scratch + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string
readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Result {
    int status;          // exit status, or -1 if killed
    std::string out;
    std::string err;
    off_t stdinOffset;   // how far the process read its standard input
};

// Runs termcount with `args` (argv[0] included), standard input opened from
// `in` (a path; empty: closed) and standard output sent to `out` (empty: a
// capture file; "-": closed).
Result
run(const std::vector<std::string> &args, const std::string &in,
    const std::string &out = "")
{
    std::string outPath = out.empty() || out == "-" ? scratch + "/stdout" : out;
    std::string errPath = scratch + "/stderr";
    int inFd = in.empty() ? -1 : open(in.c_str(), O_RDONLY);
    pid_t pid = fork();
    if (pid == 0) {
        // Every descriptor is in place before any is closed, so a closed
        // stream is not silently refilled by a later open.
        int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(errFd, 2);
        dup2(outFd, 1);
        if (inFd >= 0)
            dup2(inFd, 0);
        else
            close(0);
        if (out == "-")
            close(1);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(TERMCOUNT_BIN, argv.data());
        _exit(127);
    }
    int ws;
    waitpid(pid, &ws, 0);
    Result r{WIFEXITED(ws) ? WEXITSTATUS(ws) : -1,
             out.empty() ? readFile(outPath) : "", readFile(errPath),
             inFd >= 0 ? lseek(inFd, 0, SEEK_CUR) : 0};
    if (inFd >= 0)
        close(inFd);
    return r;
}

std::string
sysError(int e)
{
    return " error " + std::to_string(e) + ": " + strerror(e) + "\n";
}

const std::string usage =
    "usage: prog searchfile [mode] < inputfile\n\n"
    "mode = any, word or line. default is any\n";

TEST(Cli, Failures)
{
    std::string terms = writeFile("terms", "a\n");
    std::string text = writeFile("text", "a a\n");
    std::string missing = scratch + "/missing";
    struct FailCase {
        const char *name;
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const FailCase cases[] = {
        {"no arguments", {"prog"}, 1, usage},
        {"too many arguments", {"prog", terms, "any", "x"}, 1, usage},
        {"mode in capitals", {"prog", terms, "ANY"}, 2, "invalid mode\n"},
        {"unknown mode", {"prog", terms, "words"}, 2, "invalid mode\n"},
        {"empty mode", {"prog", terms, ""}, 2, "invalid mode\n"},
        {"mode checked before the file", {"prog", missing, "x"}, 2,
         "invalid mode\n"},
        {"missing search file", {"prog", missing}, 3,
         "Failed to open file \"" + missing + "\"" + sysError(ENOENT)},
        {"search file is a directory", {"prog", scratch}, 3,
         "Failed to read file \"" + scratch + "\"" + sysError(EISDIR)},
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
    std::string err = scratch + "/noname.err";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
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

    Result dirIn = run({"t", terms}, scratch);
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
