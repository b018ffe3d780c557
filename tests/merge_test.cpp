// termcount-merge as a process: what it sums, everything it refuses, and
// its failures, each with its status, message and standard output.
#include "process.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace std::string_literals;

namespace {

using namespace process;

struct MergeCase {
    const char *name;
    std::string terms;
    std::vector<std::string> reports;  // written to files @0, @1, ...
    std::vector<std::string> args;     // after the search file; "@N" names report N
    std::string in;                    // standard input
    int status;
    std::string want;                  // standard output, or standard error on failure
};

// Runs a case; "@N" in the arguments and in the expected message becomes
// report N's path.
void
check(const MergeCase &c)
{
    SCOPED_TRACE(c.name);
    std::vector<std::string> paths;
    for (const std::string &report : c.reports) {
        std::string name(1, 'r');
        name += std::to_string(paths.size());
        paths.push_back(writeFile(name, report));
    }
    auto resolve = [&](std::string s) {
        for (size_t i = 0; i < paths.size(); i++) {
            std::string mark(1, '@');
            mark += std::to_string(i);
            for (size_t at; (at = s.find(mark)) != std::string::npos;)
                s.replace(at, mark.size(), paths[i]);
        }
        return s;
    };
    std::vector<std::string> args = {"termcount-merge", writeFile("terms", c.terms)};
    for (const std::string &a : c.args)
        args.push_back(resolve(a));
    Options o;
    o.in = writeFile("in", c.in);
    o.program = MERGE_BIN;
    Result r = run(args, o);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(c.status == 0 ? r.out : r.err, resolve(c.want));
    EXPECT_EQ(c.status == 0 ? r.err : r.out, "");
}

std::string
refused(const std::string &where, const std::string &why)
{
    return "Cannot merge: " + where + ": " + why + "\n";
}

const std::string stdinLine = "standard input line ";
const std::string max64 = "18446744073709551615";

TEST(Merge, Sums)
{
    const MergeCase cases[] = {
        {"empty search file, no report", "", {}, {}, "", 0, ""},
        {"empty search file, empty reports", "\n\n", {""}, {"@0", "-"}, "", 0, ""},
        {"one report passes through", "a\nb\n", {}, {}, "0 a\n7 b\n", 0, "0 a\n7 b\n"},
        {"shards add up", "a\nb\n", {"1 a\n2 b\n", "3 a\n0 b\n"}, {"@0", "@1"}, "",
         0, "4 a\n2 b\n"},
        {"slices concatenate", "a\nb\nc\n", {"1 a\n2 b\n", "3 c\n"}, {"@0", "@1"}, "",
         0, "1 a\n2 b\n3 c\n"},
        {"files and standard input in order", "a\n", {"1 a\n", "4 a\n"},
         {"@0", "-", "@1"}, "2 a\n", 0, "7 a\n"},
        {"earlier listing of a term prints 0", "x\ny\nx\n", {}, {},
         "5 x\n1 y\n5 x\n", 0, "0 x\n1 y\n5 x\n"},
        {"earlier listing is checked but never summed", "x\nx\n", {}, {},
         max64 + " x\n0 x\n" + max64 + " x\n1 x\n", 0, "0 x\n1 x\n"},
        {"leading zeros", "a\n", {}, {}, "007 a\n", 0, "7 a\n"},
        {"sum of exactly 2^64 - 1", "a\n", {}, {},
         "18446744073709551610 a\n5 a\n", 0, max64 + " a\n"},
        {"terms read by termcount's rules", "a b\r\n\nc\0junk\n\xff"s, {}, {},
         "1 a b\r\n2 c\n3 \xff\n", 0, "1 a b\r\n2 c\n3 \xff\n"},
    };
    for (const MergeCase &c : cases)
        check(c);
}

TEST(Merge, Refusals)
{
    const MergeCase cases[] = {
        {"no report at all", "a\nb\n", {}, {}, "", 7,
         refused(stdinLine + "0", "no report, but the search file lists terms")},
        {"no report in named files", "a\n", {""}, {"@0"}, "", 7,
         refused("\"@0\" line 0", "no report, but the search file lists terms")},
        {"cut at a row boundary", "a\nb\n", {}, {}, "1 a\n", 7,
         refused(stdinLine + "1", "the input ends inside a report, after 1 of its 2 rows")},
        {"cut inside a row", "a\nb\n", {}, {}, "1 a\n2 b", 7,
         refused(stdinLine + "2", "the last line has no line feed")},
        {"no line feed at the end of an earlier file", "a\n", {"1 a", "1 a\n"},
         {"@0", "@1"}, "", 7, refused("\"@0\" line 1", "the last line has no line feed")},
        {"reports out of order", "a\nb\n", {}, {}, "2 b\n1 a\n", 7,
         refused(stdinLine + "1", "the term is not term 1 of the search file")},
        {"report of another list", "a\nb\n", {"1 a\n1 c\n"}, {"@0"}, "", 7,
         refused("\"@0\" line 2", "the term is not term 2 of the search file")},
        {"term longer than its entry", "a\n", {}, {}, "1 ab\n", 7,
         refused(stdinLine + "1", "the term is not term 1 of the search file")},
        {"term shorter than its entry", "ab\n", {}, {}, "1 a\n", 7,
         refused(stdinLine + "1", "the term is not term 1 of the search file")},
        {"carriage return dropped", "a\r\n", {}, {}, "1 a\n", 7,
         refused(stdinLine + "1", "the term is not term 1 of the search file")},
        {"a row for an empty search file", "", {}, {}, "0 a\n", 7,
         refused(stdinLine + "1", "a row, but the search file lists no terms")},
        {"sum past 2^64 - 1", "a\n", {max64 + " a\n", "1 a\n"}, {"@0", "@1"}, "", 7,
         refused("\"@1\" line 1", "the sum for term 1 passes " + max64)},
        {"count past 2^64 - 1", "a\n", {}, {}, "18446744073709551616 a\n", 7,
         refused(stdinLine + "1", "the count passes " + max64)},
    };
    for (const MergeCase &c : cases)
        check(c);
    const char *badCounts[] = {" a\n", "+1 a\n", "-1 a\n", "1x a\n", "1\ta\n",
                               "1\n", "\n", "0x1 a\n"};
    for (const char *row : badCounts)
        check({row, "a\n", {}, {}, row, 7,
               refused(stdinLine + "1",
                       "the row does not start with a count of digits and a blank")});
}

TEST(Merge, Failures)
{
    std::string missing = scratch() + "/missing";
    const MergeCase cases[] = {
        {"missing report", "a\n", {}, {missing}, "", 5,
         "Failed to open file \"" + missing + "\"" + sysError(ENOENT)},
        {"report is a directory", "a\n", {}, {scratch()}, "", 5,
         "Failed to read file \"" + scratch() + "\"" + sysError(EISDIR)},
        {"refused before a missing report is reached", "a\n", {"x a\n"},
         {"@0", missing}, "", 7,
         refused("\"@0\" line 1", "the row does not start with a count of digits and a blank")},
    };
    for (const MergeCase &c : cases)
        check(c);

    Options o;
    o.in = writeFile("in", "1 a\n");
    o.program = MERGE_BIN;
    Result usage = run({"m"}, o);
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.err.rfind("usage: " + (execPrefix().empty() ? "m"s : MERGE_BIN) +
                                  " searchfile [report ...]\n", 0), 0u);
    Result noTerms = run({"m", missing}, o);
    EXPECT_EQ(noTerms.status, 3);
    EXPECT_EQ(noTerms.err, "Failed to open file \"" + missing + "\"" + sysError(ENOENT));
    Result termsDir = run({"m", scratch()}, o);
    EXPECT_EQ(termsDir.status, 3);
    EXPECT_EQ(termsDir.err, "Failed to read file \"" + scratch() + "\"" + sysError(EISDIR));

    std::string terms = writeFile("terms", "a\n");
    o.in = scratch();
    Result dirIn = run({"m", terms}, o);
    EXPECT_EQ(dirIn.status, 5);
    EXPECT_EQ(dirIn.err, "Failed to read input" + sysError(EISDIR));
    EXPECT_EQ(dirIn.out, "");

    o.in = writeFile("in", "1 a\n");
    o.out = "/dev/full";
    Result full = run({"m", terms}, o);
    EXPECT_EQ(full.status, 6);
    EXPECT_EQ(full.err, "Failed to write output" + sysError(ENOSPC));
}

TEST(Merge, OutOfMemory)
{
    if (underSanitizerOrWrapper())
        GTEST_SKIP() << "sanitizers and valgrind need more address space";
    std::string terms;
    for (unsigned i = 0; i < 2000000; i++)
        terms += std::to_string(i) + "\n";
    Options o;
    o.in = writeFile("in", "");
    o.program = MERGE_BIN;
    o.addressLimit = 64u << 20;
    Result r = run({"m", writeFile("terms", terms)}, o);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "Out of memory\n");
    EXPECT_EQ(r.out, "");
}

}  // namespace
