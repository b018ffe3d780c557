// Runs termcount, or another program of the project, as a child process
// with chosen standard streams, signal disposition, memory limit and wrapper
// command, and collects its exit status, output and errors. A program that
// hangs is killed after a bound far above any run's time, even on a loaded
// machine under valgrind: a hang fails its test instead of stalling it.
#ifndef TERMCOUNT_TESTS_PROCESS_H
#define TERMCOUNT_TESTS_PROCESS_H

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace process {

// A folder for one test process's files, removed when the process ends.
struct Scratch {
    std::string dir;
    Scratch()
    {
        char d[] = "/tmp/termcount-test-XXXXXX";
        dir = mkdtemp(d);
    }
    ~Scratch()
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

inline const std::string &
scratch()
{
    static const Scratch s;
    return s.dir;
}

inline std::string
writeFile(const std::string &name, const std::string &bytes)
{
    std::string path = scratch() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

inline std::string
readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Seconds a test program may run: every program of these tests ends in
// well under a second, or seconds under valgrind.
inline constexpr unsigned hangBound = 120;

struct Options {
    std::string in;             // path for standard input; empty: closed
    std::string out;            // path for standard output; empty: captured; "-": closed
    int outFd = -1;             // descriptor for standard output, if not -1
    bool ignoreSigpipe = false;
    size_t addressLimit = 0;    // RLIMIT_AS in bytes; 0: none
    std::vector<std::string> wrapper;  // command to run the program under
    std::string program = TERMCOUNT_BIN;
    unsigned hangBound = process::hangBound;  // seconds before SIGALRM kills it
};

struct Result {
    int status;         // exit status, or -1 if killed by a signal
    int signal;         // the signal that killed it (SIGALRM: it hung), or 0
    std::string out;
    std::string err;
    off_t stdinOffset;  // how far its standard input was read
};

// Words of TERMCOUNT_EXEC_PREFIX (a valgrind command line, say) to run every
// termcount under.
inline std::vector<std::string>
execPrefix()
{
    std::vector<std::string> words;
    if (const char *p = getenv("TERMCOUNT_EXEC_PREFIX")) {
        std::istringstream s(p);
        for (std::string w; s >> w;)
            words.push_back(w);
    }
    return words;
}

// Runs the program with `args` (argv[0] first).
inline Result
run(const std::vector<std::string> &args, const Options &o)
{
    std::string outPath = o.out.empty() || o.out == "-" ? scratch() + "/stdout" : o.out;
    std::string errPath = scratch() + "/stderr";
    int inFd = o.in.empty() ? -1 : open(o.in.c_str(), O_RDONLY);
    pid_t pid = fork();
    if (pid == 0) {
        // Every descriptor is in place before any is closed, so a closed
        // stream is not silently refilled by a later open.
        int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int outFd = o.outFd >= 0 ? o.outFd
                                 : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(errFd, 2);
        dup2(outFd, 1);
        if (inFd >= 0)
            dup2(inFd, 0);
        else
            close(0);
        if (o.out == "-")
            close(1);
        if (o.ignoreSigpipe)
            signal(SIGPIPE, SIG_IGN);
        if (o.addressLimit != 0) {
            struct rlimit r = {o.addressLimit, o.addressLimit};
            setrlimit(RLIMIT_AS, &r);
        }
        // The alarm outlives exec, and its signal ends the program, which
        // never handles it.
        alarm(o.hangBound);
        // Under a wrapper, the program is named by its path; alone, it gets
        // the argv[0] the test chose.
        std::vector<std::string> words = execPrefix();
        words.insert(words.end(), o.wrapper.begin(), o.wrapper.end());
        std::string program = words.empty() ? o.program : words[0];
        words.push_back(words.empty() ? args[0] : o.program);
        words.insert(words.end(), args.begin() + 1, args.end());
        std::vector<char *> argv;
        for (const std::string &w : words)
            argv.push_back(const_cast<char *>(w.c_str()));
        argv.push_back(nullptr);
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    int ws;
    waitpid(pid, &ws, 0);
    if (WIFSIGNALED(ws) && WTERMSIG(ws) == SIGALRM)
        fprintf(stderr, "%s hung: killed after %u s\n", o.program.c_str(), o.hangBound);
    Result r{WIFEXITED(ws) ? WEXITSTATUS(ws) : -1,
             WIFSIGNALED(ws) ? WTERMSIG(ws) : 0,
             o.out.empty() && o.outFd < 0 ? readFile(outPath) : "",
             readFile(errPath), inFd >= 0 ? lseek(inFd, 0, SEEK_CUR) : 0};
    if (inFd >= 0)
        close(inFd);
    return r;
}

// Sanitizers and valgrind need far more address space than a memory limit
// leaves, and show their own name to the program.
inline bool
underSanitizerOrWrapper()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return !execPrefix().empty();
}

inline std::string
sysError(int e)
{
    return " error " + std::to_string(e) + ": " + strerror(e) + "\n";
}

}  // namespace process

#endif
