/*
 * module.cpp: the termcount Python module, a thin binding over the index,
 * the search-file loader and the threaded count. It converts arguments,
 * releases the GIL around every load, read and scan, and turns faults into
 * the exceptions Python users expect; the counting itself is the C++
 * layer's, so that the module and the program cannot drift apart.
 */
#include "count.h"
#include "frontend.h"
#include "tree.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace py = pybind11;

namespace {

/* A buffer held for as long as a scan reads it: while it is held, a
 * bytearray cannot be resized under the scan. */
struct Bytes {
    Py_buffer view{};
    bool held = false;

    Bytes() = default;
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    ~Bytes() { release(); }

    void release()
    {
        if (held)
            PyBuffer_Release(&view);
        held = false;
    }
    const void *data() const { return view.buf; }
    size_t size() const { return static_cast<size_t>(view.len); }
};

/* Holds the bytes of `obj` in `out`: str as UTF-8, or a C-contiguous
 * buffer of one-byte items. Returns false, with a TypeError (or the
 * buffer's BufferError) set, for anything else: a buffer of wider items
 * (a NumPy str, int or object array) holds no text, and counting its
 * bytes would give silent zeros. */
bool
holdBytes(PyObject *obj, Bytes *out, bool strAllowed, const char *what)
{
    out->release();
    if (PyUnicode_Check(obj)) {
        if (!strAllowed) {
            PyErr_Format(PyExc_TypeError, "%s must be bytes-like, not str", what);
            return false;
        }
        Py_ssize_t len;
        const char *utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
        if (utf8 == nullptr)
            return false;
        /* The UTF-8 form lives as long as the str, which the buffer keeps. */
        if (PyBuffer_FillInfo(&out->view, obj, const_cast<char *>(utf8), len,
                              1, PyBUF_SIMPLE) != 0)
            return false;
    } else if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be bytes-like%s, not %.200s",
                     what, strAllowed ? " or str" : "", Py_TYPE(obj)->tp_name);
        return false;
    } else if (PyObject_GetBuffer(obj, &out->view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        return false;
    }
    out->held = true;
    if (out->view.itemsize != 1) {
        PyErr_Format(PyExc_TypeError,
                     "%s must be a buffer of bytes, not of items of format '%s' "
                     "(%zd bytes each): .tobytes() gives its raw bytes",
                     what, out->view.format ? out->view.format : "B", out->view.itemsize);
        out->release();
        return false;
    }
    return true;
}

/* A path as the user gave it (str, bytes or os.PathLike), for messages, and
 * as the file system's bytes. */
struct FilePath {
    py::object name;
    py::object encoded;

    explicit FilePath(const py::object &path)
        : name(py::module_::import("os").attr("fspath")(path))
    {
        PyObject *e = nullptr;
        if (!PyUnicode_FSConverter(name.ptr(), &e))
            throw py::error_already_set();
        encoded = py::reinterpret_steal<py::object>(e);
    }
    const char *bytes() const { return PyBytes_AS_STRING(encoded.ptr()); }
};

const SearchMode *
modeNamed(const py::object &mode)
{
    if (!py::isinstance<py::str>(mode))
        throw py::type_error("mode must be a str: 'any', 'word' or 'line'");
    /* The whole str is the name: one that a NUL cuts short, or that has no
     * UTF-8 form, names no mode. */
    Py_ssize_t len;
    const char *name = PyUnicode_AsUTF8AndSize(mode.ptr(), &len);
    const SearchMode *m = nullptr;
    if (name == nullptr)
        PyErr_Clear();
    else if (strlen(name) == static_cast<size_t>(len))
        m = findSearchMode(name);
    if (m == nullptr)
        throw py::value_error("mode must be 'any', 'word' or 'line', not " +
                              py::repr(mode).cast<std::string>());
    return m;
}

/* How many threads a count may take, and how many bytes of the text each
 * of them scans at the least: one rule for every count. threads=None
 * takes as many as help: one per MiB of text, up to the cores this
 * process may run on, so a small text or file gets one. threads=N takes
 * N, each with at least 64 KiB, as a smaller piece costs more in starting
 * its thread than it saves. */
struct Threads {
    unsigned n;
    size_t minPiece;
};

unsigned
usableCores()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
}

Threads
threadCount(const py::object &threads)
{
    if (threads.is_none())
        return {usableCores(), size_t{1} << 20};
    if (!PyLong_Check(threads.ptr()) || PyBool_Check(threads.ptr()))
        throw py::type_error("threads must be an int or None");
    long long n = PyLong_AsLongLong(threads.ptr());
    if (n == -1 && PyErr_Occurred())
        throw py::error_already_set();
    if (n < 1)
        throw py::value_error("threads must be 1 or more, not " + std::to_string(n));
    return {static_cast<unsigned>(std::min<long long>(n, 1 << 16)), 64 << 10};
}

/* The thread the module was imported on: Python's main thread. */
unsigned long mainThread;

/* A thread that takes the GIL back while the interpreter is finishing is
 * ended by CPython with an unwind through our C++ frames, which aborts the
 * process. So every thread of ours takes it back through relock(), past a
 * gate that closeGate() shuts when the interpreter starts to exit: a thread
 * that finds the gate shut, or the interpreter finishing, is parked for
 * good and holds what it holds until the process ends. `relocking` counts
 * the threads between the gate and the GIL, which closeGate() lets through
 * first; both sides go through sequentially consistent atomics, so at
 * least one of them sees the other. */
std::atomic<bool> gateShut{false};
std::atomic<unsigned> relocking{0};

[[noreturn]] void
park() noexcept
{
    for (;;)
        pause();
}

bool
finishing() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

void
relock(PyThreadState *ts) noexcept
{
    relocking++;
    if (gateShut || finishing()) {
        relocking--;
        park();
    }
    PyEval_RestoreThread(ts);
    relocking--;
}

/* Run by atexit, with the GIL, before the interpreter is finalized. */
void
closeGate()
{
    gateShut = true;
    if (relocking == 0)
        return;
    PyThreadState *ts = PyEval_SaveThread();
    while (relocking > 0)
        sched_yield();
    PyEval_RestoreThread(ts);
}

/* What a call that works without the GIL shares with its callbacks. */
struct Progress;

struct Call {
    PyThreadState *ts = nullptr;  // this thread's state while the GIL is released
    bool onMain = false;          // on Python's main thread, the one that runs signal handlers
    Progress *progress = nullptr; // what to tell of the count's progress, or null
};

/* The module the caller needs for `what`, or an ImportError that says how
 * to install it. */
py::object
needModule(const char *name, const char *what, const char *debian, const char *pip)
{
    try {
        return py::module_::import(name);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        PyErr_Format(PyExc_ImportError, "%s needs %s: apt-get install %s, or pip install %s",
                     what, pip, debian, pip);
        throw py::error_already_set();
    }
}

/* A count's progress, told as the caller asked: to a callable, given
 * (done, total), or to a tqdm bar, made at the first report. Only used
 * with the GIL. */
struct Progress {
    py::object report = py::none();  // the callable, or None for a bar
    py::object tqdm = py::none();    // tqdm.tqdm, for a bar
    py::object bar = py::none();
    const char *unit = "B";
    uint64_t shown = 0;              // what the bar shows as done
    uint64_t total = 0;              // the last total told

    Progress(const py::object &progress, const char *unitName)
        : unit(unitName)
    {
        if (PyBool_Check(progress.ptr()))
            tqdm = needModule("tqdm", "progress=True", "python3-tqdm", "tqdm").attr("tqdm");
        else if (PyCallable_Check(progress.ptr()))
            report = progress;
        else
            throw py::type_error("progress must be a callable taking (done, total), "
                                 "True for a tqdm bar, or None, not " +
                                 std::string(Py_TYPE(progress.ptr())->tp_name));
    }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    ~Progress()
    {
        if (bar.is_none())
            return;
        try {
            bar.attr("close")();
        } catch (py::error_already_set &) {
            /* A bar that fails to close leaves nothing to undo. */
        }
    }

    void tell(uint64_t done, uint64_t all)
    {
        total = all;
        if (!report.is_none()) {
            report(done, all);
            return;
        }
        if (bar.is_none())
            bar = tqdm(py::arg("total") = all != 0 ? py::object(py::int_(all)) : py::none(),
                       py::arg("unit") = unit, py::arg("unit_scale") = true);
        if (done > shown)
            bar.attr("update")(done - shown);
        shown = std::max(shown, done);
    }

    /* After a count that succeeded: the bar shows all of it done. */
    void finish()
    {
        if (report.is_none() && total != 0)
            tell(total, total);
    }
};

/* The Progress for a count's `progress` argument: null for None or False. */
std::unique_ptr<Progress>
progressFor(const py::object &progress, Call *call, const char *unit)
{
    if (!progress || progress.is_none() || progress.ptr() == Py_False)
        return nullptr;
    auto p = std::make_unique<Progress>(progress, unit);
    call->progress = p.get();
    return p;
}

/* The GIL released for a scope of C++ work. */
struct Unlocked {
    Call &call;
    explicit Unlocked(Call &c) : call(c) { c.ts = PyEval_SaveThread(); }
    ~Unlocked() { relock(call.ts); }
    Unlocked(const Unlocked &) = delete;
    Unlocked &operator=(const Unlocked &) = delete;
};

/* The GIL taken back for a callback's scope within an Unlocked one. */
struct Relocked {
    Call &call;
    explicit Relocked(Call &c) : call(c) { relock(c.ts); }
    ~Relocked() { call.ts = PyEval_SaveThread(); }
    Relocked(const Relocked &) = delete;
    Relocked &operator=(const Relocked &) = delete;
};

Call
newCall()
{
    Call c;
    /* Python runs signal handlers on its main thread only: a count on any
     * other (a worker's, a pool's) has nothing to ask, and taking the GIL
     * ten times a second there would only slow the threads that hold it. */
    c.onMain = PyThread_get_thread_ident() == mainThread;
    return c;
}

/* Asked about ten times a second while a count runs without the GIL: runs
 * Python's signal handlers, so that Ctrl-C stops a long count. The
 * exception a handler raises stays set on this thread for the caller. */
bool
keepGoing(void *ctx, uint64_t done, uint64_t total) noexcept
{
    Call *call = static_cast<Call *>(ctx);
    Relocked gil(*call);
    if (PyErr_CheckSignals() != 0)
        return false;
    if (call->progress == nullptr)
        return true;
    /* An exception the progress callable raises stops the count and
     * reaches the caller. */
    try {
        call->progress->tell(done, total);
        return true;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "telling a count's progress failed");
    }
    return false;
}

/* Asks keepGoing about ten times a second from a loop of many short steps
 * (the terms of a load): reads the clock every 1024 steps. */
struct Poll {
    Call &call;
    unsigned steps = 0;
    std::chrono::steady_clock::time_point next = std::chrono::steady_clock::now();
    bool stopped = false;

    explicit Poll(Call &c) : call(c) {}
    bool stop() noexcept
    {
        if (!call.onMain || ++steps % 1024 != 0)
            return false;
        auto now = std::chrono::steady_clock::now();
        if (now >= next) {
            next = now + std::chrono::milliseconds(100);
            stopped = !keepGoing(&call, 0, 0);
        }
        return stopped;
    }
};

/* Raises the Python exception for `f`; `path` names the file, if any. */
[[noreturn]] void
throwFault(Fault f, const py::object &path = py::none())
{
    switch (f.kind) {
    case FAULT_OPEN:
    case FAULT_READ:
        errno = f.error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        throw py::error_already_set();
    case FAULT_MEMORY:
        throw std::bad_alloc();
    case FAULT_LIMIT:
        PyErr_SetString(PyExc_OverflowError,
                        "the term list is too large for one compiled index: its "
                        "entries or states cannot be numbered in 32 bits");
        throw py::error_already_set();
    case FAULT_STOPPED:
    case FAULT_SOURCE:
        /* keepGoing or the source left its exception set. */
        throw py::error_already_set();
    case FAULT_REFUSED:     /* only a merge refuses its input */
    case FAULT_NONE:
        break;
    }
    throw std::logic_error("no fault to raise");
}

} // namespace

/* The memory of an object that Terms.__new__ or Counts.__new__ makes and
 * no __init__ fills: pybind11 takes it through the class's operator new,
 * which zeroes it, so that it reads as an object never made (made()). */
struct Zeroed {
    static void *operator new(size_t size)
    {
        return memset(::operator new(size), 0, size);
    }
    static void operator delete(void *p) { ::operator delete(p); }
};

/* The counts of one text, a value: immutable, comparable, addable. */
struct Counts : Zeroed {
    py::tuple terms;              // null only in an object never made
    std::vector<uint64_t> counts;

    Counts(py::tuple t, std::vector<uint64_t> c) : terms(std::move(t)), counts(std::move(c)) {}

    size_t index(Py_ssize_t i) const
    {
        Py_ssize_t n = static_cast<Py_ssize_t>(counts.size());
        if (i < 0)
            i += n;
        if (i < 0 || i >= n)
            throw py::index_error("Counts index out of range");
        return static_cast<size_t>(i);
    }

    bool sameTerms(const Counts &o) const
    {
        return terms.is(o.terms) || terms.equal(o.terms);
    }

    /* Term `i` as a str, or a UnicodeDecodeError that names it. */
    py::object decoded(size_t i) const
    {
        PyObject *t = terms[i].ptr();
        PyObject *s = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(t), PyBytes_GET_SIZE(t), "strict");
        if (s != nullptr)
            return py::reinterpret_steal<py::object>(s);
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
            throw py::error_already_set();
        py::error_already_set e;
        Py_ssize_t start = 0, end = 0;
        PyUnicodeDecodeError_GetStart(e.value().ptr(), &start);
        PyUnicodeDecodeError_GetEnd(e.value().ptr(), &end);
        std::string reason = "term " + std::to_string(i) + ", " +
                             py::repr(terms[i]).cast<std::string>() + ", is not UTF-8";
        PyObject *named = PyUnicodeDecodeError_Create("utf-8", PyBytes_AS_STRING(t),
                                                      PyBytes_GET_SIZE(t), start, end,
                                                      reason.c_str());
        if (named != nullptr) {
            PyErr_SetObject(PyExc_UnicodeDecodeError, named);
            Py_DECREF(named);
        }
        throw py::error_already_set();
    }

    py::dict toDict(bool decode = false) const
    {
        py::dict d;
        for (size_t i = 0; i < counts.size(); i++)
            d[decode ? decoded(i) : py::object(terms[i])] = counts[i];
        return d;
    }

    py::object toPandas() const
    {
        py::object pandas = needModule("pandas", "to_pandas()", "python3-pandas", "pandas");
        py::list values;
        for (uint64_t n : counts)
            values.append(n);
        return pandas.attr("Series")(values, py::arg("index") = py::list(terms),
                                     py::arg("dtype") = "uint64");
    }

    py::list mostCommon(const py::object &n) const
    {
        py::list pairs = py::list(toDict().attr("items")());
        /* sort is stable: ties stay in the dict's order, that of listing. */
        pairs.attr("sort")(py::arg("key") = py::module_::import("operator").attr("itemgetter")(1),
                           py::arg("reverse") = true);
        if (n.is_none())
            return pairs;
        py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(n.ptr()));
        if (!index)
            throw py::error_already_set();
        Py_ssize_t k = PyNumber_AsSsize_t(index.ptr(), PyExc_OverflowError);
        if (k == -1 && PyErr_Occurred())
            throw py::error_already_set();
        return pairs[py::slice(0, std::max<Py_ssize_t>(k, 0), 1)];
    }

    py::bytes report() const
    {
        std::vector<TreeEntry> entries(counts.size());
        for (size_t i = 0; i < entries.size(); i++) {
            py::bytes t = terms[i];
            entries[i] = {reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(t.ptr())),
                          static_cast<size_t>(PyBytes_GET_SIZE(t.ptr()))};
        }
        char *buf = nullptr;
        size_t size = 0;
        FILE *out = open_memstream(&buf, &size);
        if (out == nullptr)
            throw std::bad_alloc();
        writeReport(out, entries.data(), counts.data(), counts.size());
        bool failed = ferror(out) != 0;
        if (fclose(out) != 0 || failed) {
            free(buf);
            throw std::bad_alloc();
        }
        std::unique_ptr<char, decltype(&free)> owned(buf, free);
        return py::bytes(buf, size);
    }
};

/* A term list and its index: built once, counted any number of times, from
 * any number of threads. Every count runs a compiled index, which needs the
 * terms and no trie, so none is kept: for 100,000 words the trie would
 * take 340 MiB, the compiled index 54 MiB. */
struct Terms : Zeroed {
    std::string bytes;                // the terms back to back
    std::vector<TreeEntry> entries;   // each term, in bytes, in list order
    bool made = false;                // false only in an object never made
    py::object listed = py::none();  // the tuple of terms, made when first asked
    unsigned flags = 0;              // the SCAN_ flags the index is compiled with
    Scanner *scanners[3] = {};       // the index compiled for each mode, when first asked
    std::mutex compiling;

    Terms() = default;
    Terms(const Terms &) = delete;
    Terms &operator=(const Terms &) = delete;
    ~Terms()
    {
        for (Scanner *sc : scanners)
            scanner_free(sc);
    }

    /* Lists the terms that end at `ends` in `bytes`, taken over. */
    void list(std::string &&all, const std::vector<size_t> &ends)
    {
        bytes = std::move(all);
        entries.resize(ends.size());
        unsigned char *base = reinterpret_cast<unsigned char *>(bytes.data());
        for (size_t i = 0; i < ends.size(); i++) {
            size_t from = i == 0 ? 0 : ends[i - 1];
            entries[i] = {base + from, ends[i] - from};
        }
        made = true;
    }

    /* The index compiled for `mode`, compiled the first time a count asks
     * for it, without the GIL, as a large list takes a while; the threads
     * that ask meanwhile wait for that one compilation. */
    const Scanner *scanner(ScanMode mode)
    {
        Fault f = {FAULT_NONE, 0};
        Scanner *sc;
        Call call;
        {
            Unlocked nogil(call);
            std::lock_guard<std::mutex> hold(compiling);
            if (scanners[mode] == nullptr)
                f = scanner_compileTerms(entries.data(), entries.size(), mode, flags,
                                         keepGoing, &call, &scanners[mode]);
            sc = scanners[mode];
        }
        if (f.kind != FAULT_NONE)
            throwFault(f);
        return sc;
    }

    size_t size() const { return entries.size(); }

    py::tuple terms()
    {
        if (listed.is_none()) {
            py::tuple t(entries.size());
            for (size_t i = 0; i < entries.size(); i++)
                t[i] = py::bytes(reinterpret_cast<const char *>(entries[i].text),
                                 entries[i].length);
            listed = std::move(t);
        }
        return listed;
    }

    Counts counted(std::vector<uint64_t> &&counts)
    {
        return Counts{terms(), std::move(counts)};
    }
};

namespace {

/* The object behind a method's self: Terms.__new__ and Counts.__new__ make
 * objects that were never initialised, which hold nothing to read. */
Counts &
made(Counts *c)
{
    if (c == nullptr || !c->terms)
        throw py::type_error("this Counts was never initialised: Counts come "
                             "from the counts of a Terms");
    return *c;
}

Terms &
made(Terms *t)
{
    if (t == nullptr || !t->made)
        throw py::type_error("this Terms was never initialised: make one with "
                             "Terms(terms) or Terms.from_file(path)");
    return *t;
}

/* The terms of a list or a search file, back to back, and where each ends. */
struct TermBytes {
    std::string bytes;
    std::vector<size_t> ends;
};

std::unique_ptr<Terms>
termsFromIterable(const py::object &items, unsigned flags)
{
    if (PyUnicode_Check(items.ptr()) || PyObject_CheckBuffer(items.ptr()))
        throw py::type_error("Terms takes an iterable of terms, not a single "
                             "term: Terms([term])");
    TermBytes list;
    Bytes term;
    size_t i = 0;
    for (py::handle item : items) {
        /* A list of millions of terms takes seconds: Ctrl-C stops it. */
        if (i % 4096 == 4095 && PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        if (!holdBytes(item.ptr(), &term, true, "a term"))
            throw py::error_already_set();
        const char *p = static_cast<const char *>(term.data());
        if (term.size() == 0)
            throw py::value_error("term " + std::to_string(i) + " is empty");
        if (memchr(p, '\n', term.size()) != nullptr)
            throw py::value_error("term " + std::to_string(i) +
                                  " holds a line feed: a term is one line");
        list.bytes.append(p, term.size());
        list.ends.push_back(list.bytes.size());
        i++;
    }
    auto terms = std::make_unique<Terms>();
    terms->flags = flags;
    terms->list(std::move(list.bytes), list.ends);
    return terms;
}

/* Reads the terms of the search file at `path` into `list`, stopped when
 * `poll` says so (FAULT_STOPPED), since a list of a million terms takes
 * seconds to load. */
Fault
loadPolled(const char *path, Poll *poll, TermBytes *list) noexcept
{
    SearchFile file;
    Fault f = searchFile_open(&file, path);
    if (f.kind != FAULT_NONE)
        return f;
    const char *term;
    size_t length;
    bool memory = true;
    while (memory && !poll->stop() && searchFile_next(&file, &term, &length)) {
        try {
            list->bytes.append(term, length);
            list->ends.push_back(list->bytes.size());
        } catch (const std::bad_alloc &) {
            memory = false;
        }
    }
    /* A signal cut a read of a pipe short: a Ctrl-C there stops the load
     * at once. The line it cut cannot be read on, so any other signal
     * leaves the read's fault. */
    if (file.readError == EINTR && poll->call.onMain && !keepGoing(&poll->call, 0, 0))
        poll->stopped = true;
    f = searchFile_close(&file);
    if (!memory)
        f = {FAULT_MEMORY, 0};
    if (poll->stopped)
        f = {FAULT_STOPPED, 0};
    return f;
}

std::unique_ptr<Terms>
termsFromFile(const py::object &path, unsigned flags)
{
    FilePath name(path);
    auto terms = std::make_unique<Terms>();
    terms->flags = flags;
    Call call = newCall();
    Poll poll(call);
    TermBytes list;
    Fault f;
    {
        Unlocked nogil(call);
        f = loadPolled(name.bytes(), &poll, &list);
    }
    if (f.kind != FAULT_NONE)
        throwFault(f, name.name);
    terms->list(std::move(list.bytes), list.ends);
    return terms;
}

std::vector<uint64_t>
newCounts(const Terms &t)
{
    return std::vector<uint64_t>(t.size());
}

Counting
counting(Terms &t, const py::object &mode, Threads threads, Call *call)
{
    bool ask = call->onMain || call->progress != nullptr;
    return {t.scanner(modeNamed(mode)->scan), threads.n, ask ? keepGoing : nullptr, call,
            threads.minPiece};
}

Counts
countText(Terms *self, const py::object &text, const py::object &mode,
          const py::object &threads)
{
    Terms &t = made(self);
    Call call = newCall();
    Counting c = counting(t, mode, threadCount(threads), &call);
    Bytes bytes;
    if (!holdBytes(text.ptr(), &bytes, true, "text"))
        throw py::error_already_set();
    std::vector<uint64_t> counts = newCounts(t);
    Fault f;
    {
        Unlocked nogil(call);
        f = count_memory(&c, bytes.data(), bytes.size(), counts.data());
    }
    if (f.kind != FAULT_NONE)
        throwFault(f);
    return t.counted(std::move(counts));
}

Counts
countFile(Terms *self, const py::object &path, const py::object &mode,
          const py::object &threads, const py::object &progress)
{
    Terms &t = made(self);
    Call call = newCall();
    std::unique_ptr<Progress> told = progressFor(progress, &call, "B");
    Counting c = counting(t, mode, threadCount(threads), &call);
    FilePath name(path);
    std::vector<uint64_t> counts = newCounts(t);
    Fault f;
    {
        Unlocked nogil(call);
        f = count_file(&c, name.bytes(), counts.data());
    }
    if (f.kind != FAULT_NONE)
        throwFault(f, name.name);
    if (told)
        told->finish();
    return t.counted(std::move(counts));
}

/* The paths count_files takes: a str is a glob, matched in sorted order
 * (no match is FileNotFoundError); a bytes or os.PathLike is one path;
 * anything else an iterable of paths. */
std::deque<FilePath>
pathsNamed(const py::object &paths)
{
    py::list listed;
    if (PyUnicode_Check(paths.ptr())) {
        listed = py::module_::import("glob").attr("glob")(paths);
        listed.attr("sort")();
        if (listed.empty()) {
            errno = ENOENT;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_FileNotFoundError, paths.ptr());
            throw py::error_already_set();
        }
    } else if (PyBytes_Check(paths.ptr()) || py::hasattr(paths, "__fspath__")) {
        listed.append(paths);
    } else if (py::isinstance<py::iterable>(paths)) {
        listed = py::list(paths);
    } else {
        throw py::type_error("paths must be a str glob or an iterable of paths, not " +
                             std::string(Py_TYPE(paths.ptr())->tp_name));
    }
    std::deque<FilePath> named;
    for (py::handle p : listed)
        named.emplace_back(py::reinterpret_borrow<py::object>(p));
    return named;
}

Counts
countFiles(Terms *self, const py::object &paths, const py::object &mode,
           const py::object &threads, const py::object &progress)
{
    Terms &t = made(self);
    Call call = newCall();
    std::unique_ptr<Progress> told = progressFor(progress, &call, "B");
    Counting c = counting(t, mode, threadCount(threads), &call);
    std::deque<FilePath> named = pathsNamed(paths);
    std::vector<const char *> bytes;
    for (const FilePath &p : named)
        bytes.push_back(p.bytes());
    std::vector<uint64_t> counts = newCounts(t);
    size_t failed = 0;
    Fault f;
    {
        Unlocked nogil(call);
        f = count_files(&c, bytes.data(), bytes.size(), counts.data(), &failed);
    }
    if (f.kind == FAULT_OPEN || f.kind == FAULT_READ)
        throwFault(f, named[failed].name);
    if (f.kind != FAULT_NONE)
        throwFault(f);
    if (told)
        told->finish();
    return t.counted(std::move(counts));
}

/* The texts of count_each, held for as long as the count reads them. */
struct Texts {
    std::deque<Bytes> held;
    std::vector<Document> docs;
    uint64_t bytes = 0;
};

void
holdTexts(const py::object &texts, Texts *out)
{
    if (PyUnicode_Check(texts.ptr()) || PyObject_CheckBuffer(texts.ptr()))
        throw py::type_error("count_each takes an iterable of texts, not a single "
                             "text: count_each([text])");
    for (py::handle item : texts) {
        std::string what = "texts[" + std::to_string(out->docs.size()) + "]";
        out->held.emplace_back();
        if (!holdBytes(item.ptr(), &out->held.back(), true, what.c_str()))
            throw py::error_already_set();
        out->docs.push_back({out->held.back().data(), out->held.back().size()});
        out->bytes += out->held.back().size();
    }
}

/* A copy of `n` values as a NumPy array of T. */
template <typename T, typename From>
py::array_t<T>
arrayOf(const From *values, size_t n)
{
    py::array_t<T> a(static_cast<py::ssize_t>(n));
    T *to = a.mutable_data();
    for (size_t i = 0; i < n; i++)
        to[i] = static_cast<T>(values[i]);
    return a;
}

py::object
countEach(Terms *self, const py::object &texts, const py::object &mode,
          const py::object &threads, const py::object &progress)
{
    Terms &t = made(self);
    py::object sparse = needModule("scipy.sparse", "count_each", "python3-scipy", "scipy");
    Texts held;
    holdTexts(texts, &held);
    Call call = newCall();
    std::unique_ptr<Progress> told = progressFor(progress, &call, "doc");
    /* Threads split the texts: as with one text, one per MiB at most. */
    Threads n = threadCount(threads);
    if (threads.is_none())
        n.n = static_cast<unsigned>(std::clamp<uint64_t>(held.bytes >> 20, 1, n.n));
    Counting c = counting(t, mode, n, &call);
    EachCounts each{};
    Fault f;
    {
        Unlocked nogil(call);
        f = count_each(&c, held.docs.data(), held.docs.size(), &each);
    }
    std::unique_ptr<EachCounts, void (*)(EachCounts *)> owned(&each, count_freeEach);
    if (f.kind != FAULT_NONE)
        throwFault(f);
    if (told)
        told->finish();
    size_t rows = held.docs.size();
    size_t zero = 0;
    const size_t *starts = each.rowStarts != nullptr ? each.rowStarts : &zero;
    size_t stored = starts[rows];
    py::tuple csr = py::make_tuple(arrayOf<uint64_t>(each.counts, stored),
                                   arrayOf<int64_t>(each.entries, stored),
                                   arrayOf<int64_t>(starts, rows + 1));
    return sparse.attr("csr_matrix")(csr, py::arg("shape") = py::make_tuple(rows, t.size()),
                                     py::arg("dtype") = "uint64");
}

/* A stream's chunks, taken with the GIL and scanned without it: from a
 * binary file's read(), or from an iterable of bytes-like objects. */
struct Chunks {
    py::object read = py::none();      // source.read, or None
    py::object iterator = py::none();  // iter(source), or None
    Bytes chunk;          // the chunk being scanned
    Call call;            // of the count_stream that reads them
};

enum { READ_SIZE = 1 << 20 };

int
nextChunk(void *source, const void **bytes, size_t *size) noexcept
{
    Chunks *s = static_cast<Chunks *>(source);
    Relocked gil(s->call);
    s->chunk.release();
    PyObject *got;
    if (!s->read.is_none()) {
        got = PyObject_CallFunction(s->read.ptr(), "n", Py_ssize_t{READ_SIZE});
    } else {
        got = PyIter_Next(s->iterator.ptr());
        if (got == nullptr)
            return PyErr_Occurred() ? -1 : 0;
    }
    if (got == nullptr)
        return -1;
    py::object chunk = py::reinterpret_steal<py::object>(got);
    if (!s->read.is_none() && PyUnicode_Check(got)) {
        PyErr_SetString(PyExc_TypeError,
                        "count_stream needs a binary file: read() returned str");
        return -1;
    }
    if (!holdBytes(got, &s->chunk, false, "a chunk"))
        return -1;
    *bytes = s->chunk.data();
    *size = s->chunk.size();
    return !s->read.is_none() && *size == 0 ? 0 : 1;
}

Counts
countStream(Terms *self, const py::object &source, const py::object &mode)
{
    Terms &t = made(self);
    Chunks chunks;
    chunks.call = newCall();
    Counting c = counting(t, mode, {1, 0}, &chunks.call);
    if (py::hasattr(source, "read"))
        chunks.read = source.attr("read");
    else
        chunks.iterator = py::iter(source);
    std::vector<uint64_t> counts = newCounts(t);
    Fault f;
    {
        Unlocked nogil(chunks.call);
        f = count_blocks(&c, nextChunk, &chunks, counts.data());
    }
    chunks.chunk.release();
    if (f.kind != FAULT_NONE)
        throwFault(f);
    return t.counted(std::move(counts));
}

py::object
addCounts(Counts *self, const py::object &other)
{
    const Counts &a = made(self);
    if (py::isinstance<py::int_>(other) && other.cast<py::int_>().equal(py::int_(0)))
        return py::cast(a);
    if (!py::isinstance<Counts>(other))
        return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    const Counts &b = made(other.cast<Counts *>());
    if (!a.sameTerms(b))
        throw py::value_error("cannot add Counts of different term lists");
    Counts sum{a.terms, a.counts};
    if (!count_add(sum.counts.data(), b.counts.data(), sum.counts.size())) {
        PyErr_SetString(PyExc_OverflowError, "a sum of counts passes 2**64 - 1");
        throw py::error_already_set();
    }
    return py::cast(std::move(sum));
}

py::bytes
packCounts(const std::vector<uint64_t> &counts)
{
    std::string out(counts.size() * 8, '\0');
    for (size_t i = 0; i < counts.size(); i++)
        for (int b = 0; b < 8; b++)
            out[i * 8 + b] = static_cast<char>(counts[i] >> (8 * b));
    return py::bytes(out);
}

std::vector<uint64_t>
unpackCounts(const std::string &in)
{
    std::vector<uint64_t> counts(in.size() / 8);
    for (size_t i = 0; i < counts.size(); i++)
        for (int b = 0; b < 8; b++)
            counts[i] |= uint64_t{static_cast<unsigned char>(in[i * 8 + b])} << (8 * b);
    return counts;
}

/* One parameter of a method: its name, and its default (null: required). */
struct Param {
    const char *name;
    py::object byDefault;
};

/* The arguments of a call to `fn`, by position or keyword as Python binds
 * them, defaults filled in. A call that does not fit raises the TypeError
 * in the words of Python's own functions, naming the parameters there are,
 * rather than pybind11's dump of every overload. */
std::vector<py::object>
bind(const char *fn, const std::vector<Param> &params, const py::args &args,
     const py::kwargs &kwargs)
{
    std::string takes;
    for (const Param &p : params)
        takes += std::string(takes.empty() ? "" : ", ") + p.name;
    if (args.size() > params.size())
        throw py::type_error(std::string(fn) + "() takes at most " +
                             std::to_string(params.size()) + " arguments (" + takes + "), " +
                             std::to_string(args.size()) + " given");
    std::vector<py::object> got(params.size());
    for (size_t i = 0; i < args.size(); i++)
        got[i] = args[i];
    for (auto item : kwargs) {
        std::string key = py::str(item.first);
        size_t i = 0;
        while (i < params.size() && key != params[i].name)
            i++;
        if (i == params.size())
            throw py::type_error(std::string(fn) + "() got an unexpected keyword argument '" +
                                 key + "': it takes " + (takes.empty() ? "none" : takes));
        if (got[i])
            throw py::type_error(std::string(fn) + "() got multiple values for argument '" +
                                 key + "'");
        got[i] = py::reinterpret_borrow<py::object>(item.second);
    }
    for (size_t i = 0; i < params.size(); i++) {
        if (got[i])
            continue;
        if (!params[i].byDefault)
            throw py::type_error(std::string(fn) + "() missing required argument '" +
                                 params[i].name + "'");
        got[i] = params[i].byDefault;
    }
    return got;
}

/* A flag argument: True or False only, so that a misplaced argument
 * (a mode where a flag goes) is not taken as true. */
bool
flag(const py::object &value, const char *name)
{
    if (!PyBool_Check(value.ptr()))
        throw py::type_error(std::string(name) + " must be True or False, not " +
                             Py_TYPE(value.ptr())->tp_name);
    return value.ptr() == Py_True;
}

unsigned
scanFlags(const py::object &ignoreCase)
{
    return flag(ignoreCase, "ignore_case") ? SCAN_IGNORE_CASE : 0;
}

/* Counts' indexing: by position, as for a tuple. */
uint64_t
countAt(Counts *self, const py::object &i)
{
    Counts &c = made(self);
    if (PyUnicode_Check(i.ptr()) || PyBytes_Check(i.ptr()))
        throw py::type_error("Counts are indexed by position in the term list; "
                             "look a term up in to_dict()");
    if (!PyIndex_Check(i.ptr()))
        throw py::type_error(std::string("Counts indices must be integers, not ") +
                             Py_TYPE(i.ptr())->tp_name);
    Py_ssize_t at = PyNumber_AsSsize_t(i.ptr(), PyExc_IndexError);
    if (at == -1 && PyErr_Occurred())
        throw py::error_already_set();
    return c.counts[c.index(at)];
}

} // namespace

PYBIND11_MODULE(_termcount, m)
{
    m.doc() = "The compiled core of termcount; import termcount instead.";
    m.attr("__version__") = TERMCOUNT_VERSION;
    py::module_::import("atexit").attr("register")(py::cpp_function(closeGate));
    py::object main = py::module_::import("threading").attr("main_thread")();
    mainThread = main.attr("ident").cast<unsigned long>();
    /* Each docstring starts with its own signature, which help() and
     * inspect.signature() read: the methods take *args and **kwargs, so
     * that bind() words every refusal. */
    py::options options;
    options.disable_function_signatures();
    py::object any = py::str("any"), none = py::none(), no = py::bool_(false);

    py::class_<Counts>(m, "Counts", py::buffer_protocol(), R"(
The counts of one text: one count per term, in the order of the term list,
zeros included, as the termcount program reports them.

A value: len(), indexing (negative too), iteration, == and + (of counts over
equal term lists, so that sum() of the counts of a text's pieces gives the
counts of the whole text). memoryview(c) and numpy.asarray(c) see the counts
as unsigned 64-bit integers without a copy. Counts pickle.)")
        .def("__len__", [](Counts *c) { return made(c).counts.size(); })
        .def("__getitem__", countAt)
        .def("__iter__", [](Counts *c) {
                 return py::make_iterator(made(c).counts.begin(), c->counts.end());
             }, py::keep_alive<0, 1>())
        .def("__eq__", [](Counts *self, const py::object &other) -> py::object {
                 const Counts &a = made(self);
                 if (!py::isinstance<Counts>(other))
                     return py::reinterpret_borrow<py::object>(Py_NotImplemented);
                 const Counts &b = made(other.cast<Counts *>());
                 return py::bool_(a.counts == b.counts && a.sameTerms(b));
             })
        .def("__add__", addCounts)
        .def("__radd__", addCounts)
        .def("__repr__", [](Counts *self) {
                 const Counts &c = made(self);
                 uint64_t total = 0;
                 for (uint64_t n : c.counts)
                     total += n;
                 return "<termcount.Counts of " + std::to_string(c.counts.size()) +
                        " terms, " + std::to_string(total) + " occurrences>";
             })
        .def_property_readonly("terms", [](Counts *c) { return made(c).terms; },
                               "The terms, a tuple of bytes in list order.")
        .def("report", [](Counts *c, const py::args &a, const py::kwargs &k) {
                 bind("Counts.report", {}, a, k);
                 return made(c).report();
             }, R"(report($self, /)
--

The report the termcount program prints for the same terms and text, byte
for byte: one b"COUNT TERM\n" line per term, in list order.)")
        .def("to_dict", [no](Counts *c, const py::args &a, const py::kwargs &k) {
                 auto v = bind("Counts.to_dict", {{"decode", no}}, a, k);
                 return made(c).toDict(flag(v[0], "decode"));
             }, R"(to_dict($self, /, decode=False)
--

{term: count}. A term listed twice keeps the count of its last listing,
the one the count goes to. With decode=True the keys are str, the terms
decoded as UTF-8: a term that is not raises UnicodeDecodeError naming it.)")
        .def("to_pandas", [](Counts *c, const py::args &a, const py::kwargs &k) {
                 bind("Counts.to_pandas", {}, a, k);
                 return made(c).toPandas();
             }, R"(to_pandas($self, /)
--

A pandas.Series of the counts, uint64, indexed by term (bytes) in list
order, duplicates kept. Needs pandas.)")
        .def("most_common", [none](Counts *c, const py::args &a, const py::kwargs &k) {
                 auto v = bind("Counts.most_common", {{"n", none}}, a, k);
                 return made(c).mostCommon(v[0]);
             }, R"(most_common($self, /, n=None)
--

[(term, count), ...] by count, largest first, as to_dict() holds them; ties
keep the order in which the terms are first listed. With n, only the first
n pairs.)")
        .def_buffer([](Counts *c) {
            /* No exception may leave here: an uninitialised Counts shows
             * as none at all. */
            static uint64_t nothing[1];
            bool empty = c == nullptr || !c->terms || c->counts.empty();
            return py::buffer_info(empty ? nothing : c->counts.data(), sizeof(uint64_t),
                                   py::format_descriptor<uint64_t>::format(), 1,
                                   {empty ? 0 : c->counts.size()}, {sizeof(uint64_t)}, true);
        })
        .def(py::pickle(
            [](Counts *self) {
                const Counts &c = made(self);
                return py::make_tuple(c.terms, packCounts(c.counts));
            },
            [](const py::tuple &state) {
                if (state.size() != 2)
                    throw py::value_error("not a pickled Counts");
                Counts c{state[0].cast<py::tuple>(), unpackCounts(state[1].cast<std::string>())};
                bool bytes = c.counts.size() == c.terms.size();
                for (size_t i = 0; bytes && i < c.terms.size(); i++)
                    bytes = PyBytes_Check(c.terms[i].ptr());
                if (!bytes)
                    throw py::value_error("not a pickled Counts");
                return c;
            }));

    py::class_<Terms>(m, "Terms", R"(Terms(terms, ignore_case=False)
--

A list of terms and the index over it: compiled once for each mode, when a
count first asks for it, and counted any number of times, from any number
of threads at once.

Terms(terms) takes an iterable whose items are each one term: bytes-like,
or str as UTF-8. A term may hold any bytes but a line feed, and may not be
empty. Terms.from_file(path) reads a search file by the termcount program's
rules. A term listed twice is counted under its last listing; earlier
listings count 0. With ignore_case=True, ASCII letters match either case
and nothing else changes: terms that differ only in case are one term
listed twice.

Every count releases the GIL while it scans, and Ctrl-C interrupts it.
threads=None, in every count, takes as many threads as help: one per MiB
of text, up to the cores this process may run on; threads=N takes up to N.
progress, where a count takes it, is a callable called now and then on the
calling thread with (done, total) (bytes, or texts for count_each; total 0
when not known ahead), or True for a tqdm bar. Terms pickle as their term
list and ignore_case, and the index is built anew on load.)")
        .def(py::init([no](const py::args &a, const py::kwargs &k) {
                 auto v = bind("Terms", {{"terms", {}}, {"ignore_case", no}}, a, k);
                 return termsFromIterable(v[0], scanFlags(v[1]));
             }))
        .def_static("from_file", [no](const py::args &a, const py::kwargs &k) {
                 auto v = bind("Terms.from_file", {{"path", {}}, {"ignore_case", no}}, a, k);
                 return termsFromFile(v[0], scanFlags(v[1]));
             }, R"(from_file(path, ignore_case=False)
--

Reads the terms of a search file, as the termcount program does: one term
per line, the line feed dropped, empty lines skipped, a NUL ending a term, a
carriage return kept, a line read in pieces of at most 1,048,575 bytes.
path is a str, bytes or os.PathLike. Raises OSError (with errno and
filename) when the file cannot be opened or read, MemoryError when the terms
cannot be held. The index is compiled when a count first asks for it.)")
        .def("__len__", [](Terms *t) { return made(t).size(); })
        .def_property_readonly("terms", [](Terms *t) { return made(t).terms(); },
                               "The terms, a tuple of bytes in list order, duplicates kept.")
        .def_property_readonly("ignore_case", [](Terms *t) {
                                   return (made(t).flags & SCAN_IGNORE_CASE) != 0;
                               }, "Whether ASCII letters match either case.")
        .def("__repr__", [](Terms *t) {
                 return "<termcount.Terms of " + std::to_string(made(t).size()) + " terms>";
             })
        .def("count", [any, none](Terms *t, const py::args &a, const py::kwargs &k) {
                 auto v = bind("Terms.count", {{"text", {}}, {"mode", any}, {"threads", none}},
                               a, k);
                 return countText(t, v[0], v[1], v[2]);
             }, R"(count($self, /, text, mode='any', threads=None)
--

Counts the terms in text: bytes-like (bytes, bytearray, memoryview, mmap,
array) or str, as UTF-8. mode is "any" (every occurrence, overlapping ones
too), "word" (whole words) or "line" (whole lines). The text is cut right
after line feeds into pieces counted at once, with the same result:
threads=None takes one thread per MiB of text, up to the cores this process
may run on; threads=N takes up to N, each with at least 64 KiB. Returns
Counts equal to what the termcount program reports for the same bytes.)")
        .def("count_file", [any, none](Terms *t, const py::args &a, const py::kwargs &k) {
                 auto v = bind("Terms.count_file", {{"path", {}}, {"mode", any},
                               {"threads", none}, {"progress", none}}, a, k);
                 return countFile(t, v[0], v[1], v[2], v[3]);
             }, R"(count_file($self, /, path, mode='any', threads=None, progress=None)
--

Counts the terms in the file at path (str, bytes or os.PathLike), read in
blocks, never whole; threads as for count(), each thread reading its own
piece of the file. A pipe or other file that cannot be read at offsets is
read on one thread. A file that grows meanwhile is counted up to where its
last piece meets the end; one that shrinks raises OSError (EIO). Raises
OSError (with errno and filename) when the file cannot be opened or read.)")
        .def("count_files", [any, none](Terms *t, const py::args &a, const py::kwargs &k) {
                 auto v = bind("Terms.count_files", {{"paths", {}}, {"mode", any},
                               {"threads", none}, {"progress", none}}, a, k);
                 return countFiles(t, v[0], v[1], v[2], v[3]);
             }, R"(count_files($self, /, paths, mode='any', threads=None, progress=None)
--

The sum of count_file() over many files: paths is a str glob (matched in
sorted order; FileNotFoundError when nothing matches), or an iterable of
paths. The files are spread over the threads, each read whole by one.
Raises OSError naming the file that could not be opened or read.)")
        .def("count_stream", [any](Terms *t, const py::args &a, const py::kwargs &k) {
                 auto v = bind("Terms.count_stream", {{"source", {}}, {"mode", any}}, a, k);
                 return countStream(t, v[0], v[1]);
             }, R"(count_stream($self, /, source, mode='any')
--

Counts the terms in a stream, on one thread: a binary file object, read in
blocks until read() returns b"", or an iterable of bytes-like chunks. The
chunks are one text, as if joined: a term may span two of them. An
exception raised by the source propagates unchanged.)")
        .def("count_each", [any, none](Terms *t, const py::args &a, const py::kwargs &k) {
                 auto v = bind("Terms.count_each", {{"texts", {}}, {"mode", any},
                               {"threads", none}, {"progress", none}}, a, k);
                 return countEach(t, v[0], v[1], v[2], v[3]);
             }, R"(count_each($self, /, texts, mode='any', threads=None, progress=None)
--

Counts each text of an iterable (bytes-like or str items: a list, a tuple,
a pandas Series, a NumPy object array) as a text of its own, and returns a
scipy.sparse.csr_matrix of shape (texts, terms), dtype uint64, zeros left
out: row i equals count(texts[i], mode). The threads split the texts. A
text of the wrong type raises TypeError naming its index, before anything
is counted. Needs SciPy.)")
        .def(py::pickle(
            [](Terms *t) {
                return py::make_tuple(made(t).terms(), (t->flags & SCAN_IGNORE_CASE) != 0);
            },
            [](const py::tuple &state) {
                /* A Terms pickled before ignore_case holds the terms alone. */
                if (state.size() != 1 && state.size() != 2)
                    throw py::value_error("not a pickled Terms");
                return termsFromIterable(state[0],
                                         state.size() == 2 ? scanFlags(state[1]) : 0);
            }));
}
