/*
 * module.cpp: the compiled core of the termcount Python package, the shims
 * that must be C++: it holds buffers without copies while a count reads
 * them, releases the GIL around every parse, compile and scan, keeps its
 * threads from being torn down at exit, runs Python's signal handlers
 * while a count runs, turns faults into exceptions and stores Counts.
 * Every check, default, message and conversion is the package's Python
 * (termcount/_api.py), which calls these with arguments already checked.
 */
#include "count.h"
#include "frontend.h"
#include "tree.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <sched.h>
#include <string>
#include <string_view>
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
    const char *data() const { return static_cast<const char *>(view.buf); }
    size_t size() const { return static_cast<size_t>(view.len); }
};

/* Why the core refuses an item of a list: raised as Refused(index, why),
 * which the package turns into the TypeError or ValueError that names the
 * item and says what is allowed. */
enum Why { NOT_TEXT, EMPTY_TERM, LINE_FEED_IN_TERM };
PyObject *refusedClass;

[[noreturn]] void
refuse(size_t index, Why why)
{
    PyErr_SetObject(refusedClass, py::make_tuple(index, static_cast<int>(why)).ptr());
    throw py::error_already_set();
}

/* Holds the bytes of `obj` in `out`: a str as UTF-8, or a C-contiguous
 * buffer of one-byte items; for anything else raises Refused(index,
 * NOT_TEXT). A buffer of wider items (a NumPy str, int or object array)
 * holds no text, and counting its bytes would give silent zeros. A str
 * with no UTF-8 form raises UnicodeEncodeError. */
void
holdBytes(PyObject *obj, Bytes *out, size_t index = 0)
{
    out->release();
    if (PyUnicode_Check(obj)) {
        Py_ssize_t len;
        const char *utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
        /* The UTF-8 form lives as long as the str, which the buffer keeps. */
        if (utf8 == nullptr || PyBuffer_FillInfo(&out->view, obj, const_cast<char *>(utf8),
                                                 len, 1, PyBUF_SIMPLE) != 0)
            throw py::error_already_set();
        out->held = true;
        return;
    }
    if (PyObject_CheckBuffer(obj)) {
        out->held = PyObject_GetBuffer(obj, &out->view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0;
        /* NumPy says ValueError, memoryview BufferError: either way a
         * buffer a scan cannot read. */
        if (!out->held && !PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_BufferError))
            throw py::error_already_set();
        if (out->held && out->view.itemsize == 1)
            return;
        out->release();
        PyErr_Clear();
    }
    refuse(index, NOT_TEXT);
}

/* The thread the module was imported on: Python's main thread. */
unsigned long mainThread;

/* A thread that takes the GIL back while the interpreter is finishing is
 * ended by CPython with an unwind through our C++ frames, which aborts the
 * process. So our threads take it back through relock(), past a gate that
 * closeGate() shuts as the interpreter starts to exit: a thread that finds
 * it shut, or the interpreter finishing, is parked for good. closeGate()
 * first lets through the `relocking` threads between the gate and the GIL;
 * both sides use sequentially consistent atomics, so one sees the other.
 * A progress callable, the one piece of the caller's Python a shim runs,
 * may drop the GIL out of the gate's sight; the package runs all else of
 * the caller's (generators, a stream's reads) between the shims' calls. */
std::atomic<bool> gateShut{false};
std::atomic<unsigned> relocking{0};

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
        for (;;)
            pause();  /* parked */
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
struct Call {
    PyThreadState *ts = nullptr;  // this thread's state while the GIL is released
    bool onMain;                  // on Python's main thread, the one that runs signal handlers
    py::object tell;              // called with (done, total) as the count goes, or None

    /* Python runs signal handlers on its main thread only: a count on any
     * other (a worker's, a pool's) has nothing to ask, and taking the GIL
     * ten times a second there would only slow the threads that hold it. */
    explicit Call(py::object progress = py::none())
        : onMain(PyThread_get_thread_ident() == mainThread), tell(std::move(progress))
    {
    }

    /* keepGoing where it has something to do: signals to run, or progress
     * to tell. */
    CountKeepGoingFn asker() const;
};

/* The GIL released for a scope of C++ work. */
struct Unlocked {
    Call &call;
    explicit Unlocked(Call &c) : call(c) { c.ts = PyEval_SaveThread(); }
    ~Unlocked() { relock(call.ts); }
    Unlocked(const Unlocked &) = delete;
    Unlocked &operator=(const Unlocked &) = delete;
};

/* Asked about ten times a second while a count runs without the GIL: runs
 * Python's signal handlers, so that Ctrl-C stops a long count, and tells
 * the progress callable. The exception either raises stays set on this
 * thread for the caller, and stops the count. */
bool
keepGoing(void *ctx, uint64_t done, uint64_t total) noexcept
{
    Call *call = static_cast<Call *>(ctx);
    relock(call->ts);
    bool go = PyErr_CheckSignals() == 0;
    if (go && !call->tell.is_none()) {
        PyObject *r = PyObject_CallFunction(call->tell.ptr(), "KK",
                                            static_cast<unsigned long long>(done),
                                            static_cast<unsigned long long>(total));
        Py_XDECREF(r);
        go = r != nullptr;
    }
    call->ts = PyEval_SaveThread();
    return go;
}

CountKeepGoingFn
Call::asker() const
{
    return onMain || !tell.is_none() ? keepGoing : nullptr;
}

/* Raises the Python exception for `f`; `path` names the file, if any. An
 * OSError's `opening` tells a file that could not be opened from one that
 * could not be read; an EINTR raises what the signal handlers raise. */
[[noreturn]] void
throwFault(Fault f, const py::object &path = py::none())
{
    switch (f.kind) {
    case FAULT_REFUSED:     /* a compressed file's data */
        if (f.error == DECOMPRESS_ENDED_EARLY) {
            /* An EOFError, as Python's decompressors raise, with the
             * filename an OSError would have. */
            PyErr_SetObject(PyExc_EOFError, py::str("{}: the file ends inside a compressed "
                                                    "stream, or holds none").format(path).ptr());
            py::error_already_set e;
            e.value().attr("filename") = path;
            throw e;
        }
        f.error = EBADMSG;
        [[fallthrough]];
    case FAULT_OPEN:
    case FAULT_READ: {
        errno = f.error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        py::error_already_set e;
        if (e.matches(PyExc_OSError))
            e.value().attr("opening") = py::bool_(f.kind == FAULT_OPEN);
        throw e;
    }
    case FAULT_MEMORY:
        throw std::bad_alloc();
    case FAULT_LIMIT:
        PyErr_SetString(PyExc_OverflowError, "the term list is too large for one compiled "
                        "index: its entries or states cannot be numbered in 32 bits");
        throw py::error_already_set();
    case FAULT_STOPPED:
    case FAULT_SOURCE:
        /* keepGoing or the source left its exception set. */
        throw py::error_already_set();
    case FAULT_NONE:
        break;
    }
    throw std::logic_error("no fault to raise");
}

py::object
nobody()
{
    return py::none();
}

/* Runs `work`, which returns a Fault, without the GIL, and raises its fault
 * as throwFault does, naming the file nameOf() gives. */
template <typename W, typename N = py::object (*)()>
void
runUnlocked(Call &call, W work, N nameOf = nobody)
{
    Fault f;
    {
        Unlocked nogil(call);
        f = work();
    }
    if (f.kind != FAULT_NONE)
        throwFault(f, nameOf());
}

/* The memory of an object that __new__ makes and no __init__ fills:
 * pybind11 takes it through the class's operator new, which zeroes it, so
 * that it reads as an object never made (made()). */
struct Zeroed {
    static void *operator new(size_t size) { return memset(::operator new(size), 0, size); }
    static void operator delete(void *p) { ::operator delete(p); }
};

/* What counts of a term list were counted as: the ScanMode, and
 * KIND_IGNORE_CASE. Counts of different kinds never add up. */
enum { KIND_IGNORE_CASE = 4 };

/* The counts of one text, a value: immutable, comparable, addable. */
struct Counts : Zeroed {
    py::tuple terms;              // null only in an object never made
    std::vector<uint64_t> counts;
    unsigned kind;                // the ScanMode, | KIND_IGNORE_CASE
};

/* The package's Counts, a Python class over this one, which every count
 * returns; set once at import, and kept until the process ends. */
py::object *countsClass;

py::object
newCounts(const py::tuple &terms, std::vector<uint64_t> &&counts, unsigned kind)
{
    if (countsClass == nullptr)
        throw py::type_error("termcount's Counts class is not set");
    py::object made = (*countsClass)();
    Counts *c = made.cast<Counts *>();
    c->terms = terms;
    c->counts = std::move(counts);
    c->kind = kind;
    return made;
}

/* `o`, a Counts or an Index, which a TypeError refuses if it was never
 * made: those come from the package's Terms and their counts. */
template <typename T>
T &
made(T *o)
{
    if (o == nullptr || !o->terms)
        throw py::type_error("this object was never initialised: Counts and Terms come "
                             "from termcount's Terms and their counts");
    return *o;
}

/* A term list and its index: built once, counted any number of times, from
 * any number of threads. Every count runs a compiled index, which needs the
 * terms and no trie, so none is kept: for 100,000 words the trie would
 * take 340 MiB, the compiled index 54 MiB. */
struct Index : Zeroed {
    py::tuple terms;                  // the terms, bytes; null only in an object never made
    std::vector<TreeEntry> entries;   // each term's bytes, inside its object in terms
    unsigned flags;                   // the SCAN_ flags the index is compiled with
    Scanner *scanners[3];             // the index compiled for each mode, when first asked
    std::mutex compiling;             // held by the one thread that compiles

    ~Index()
    {
        for (Scanner *sc : scanners)
            scanner_free(sc);
    }

    /* Takes `listed`, a tuple of bytes, as the list of terms, compiled with
     * `scanFlags`: the entries point into its objects, which are immutable
     * and live as long as it does. */
    void list(py::tuple listed, unsigned scanFlags)
    {
        entries.resize(listed.size());
        for (size_t i = 0; i < entries.size(); i++) {
            PyObject *term = PyTuple_GET_ITEM(listed.ptr(), i);
            entries[i] = {reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(term)),
                          static_cast<size_t>(PyBytes_GET_SIZE(term))};
        }
        terms = std::move(listed);
        flags = scanFlags;
    }

    /* The index for `mode`, compiled the first time a count asks for it,
     * without the GIL, as a large list takes a while; the threads that ask
     * meanwhile wait for that one compilation, which asks keepGoing
     * whether to go on, so that Ctrl-C stops it. */
    const Scanner *scanner(int mode)
    {
        Call call;
        runUnlocked(call, [&]() -> Fault {
            std::lock_guard<std::mutex> hold(compiling);
            if (scanners[mode] != nullptr)
                return {FAULT_NONE, 0};
            return scanner_compileTerms(entries.data(), entries.size(),
                                        static_cast<ScanMode>(mode), flags, keepGoing, &call,
                                        &scanners[mode]);
        });
        return scanners[mode];
    }

    py::object counted(std::vector<uint64_t> &&counts, int mode)
    {
        unsigned kind = mode | ((flags & SCAN_IGNORE_CASE) ? KIND_IGNORE_CASE : 0);
        return newCounts(terms, std::move(counts), kind);
    }
};

/* An Index of a list of terms, each bytes-like or str (as UTF-8), none
 * empty or holding a line feed; a refusal names the term's index. A term
 * that is bytes is kept as it is, any other is copied into bytes. */
std::unique_ptr<Index>
listTerms(const py::list &list, unsigned flags)
{
    py::tuple items(list), listed(items.size());  /* a copy that nothing can change */
    Bytes term;
    for (size_t i = 0; i < items.size(); i++) {
        /* A list of millions of terms takes seconds: Ctrl-C stops it. */
        if (i % 4096 == 4095 && PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        PyObject *item = PyTuple_GET_ITEM(items.ptr(), i);
        holdBytes(item, &term, i);
        if (term.size() == 0)
            refuse(i, EMPTY_TERM);
        if (memchr(term.data(), '\n', term.size()) != nullptr)
            refuse(i, LINE_FEED_IN_TERM);
        listed[i] = PyBytes_CheckExact(item) ? py::reinterpret_borrow<py::object>(item)
                                             : py::bytes(term.data(), term.size());
    }
    auto index = std::make_unique<Index>();
    index->list(std::move(listed), flags);
    return index;
}

/* The terms of a search file: back to back, and where each ends. */
struct TermBytes {
    std::string bytes;
    std::vector<size_t> ends;
};

/* Lists in `list` the terms of the search file whose bytes are `data`,
 * read by searchFile_next through a stream over memory, so that its rules
 * are written once. Asks `call` whether to go on every 64Ki terms: a list
 * of millions takes seconds. */
Fault
parsed(std::string_view data, Call *call, TermBytes *list) noexcept
{
    SearchFile file;
    FILE *in = data.empty() ? nullptr : fmemopen(const_cast<char *>(data.data()),
                                                 data.size(), "rb");
    Fault f = {in == nullptr && !data.empty() ? FAULT_MEMORY : FAULT_NONE, 0};
    if (in == nullptr || (f = searchFile_openStream(&file, in)).kind != FAULT_NONE)
        return f;
    const char *term;
    size_t length;
    for (size_t n = 1; f.kind == FAULT_NONE && searchFile_next(&file, &term, &length); n++) {
        try {
            list->bytes.append(term, length);
            list->ends.push_back(list->bytes.size());
        } catch (const std::bad_alloc &) {
            f = {FAULT_MEMORY, 0};
        }
        if (n % 65536 == 0 && call->onMain && !keepGoing(call, 0, 0))
            f = {FAULT_STOPPED, 0};
    }
    Fault closed = searchFile_close(&file);
    return f.kind != FAULT_NONE ? f : closed;
}

/* An Index of the terms of a search file's bytes, `data`, which the
 * caller keeps alive and unchanged (bytes are immutable). */
std::unique_ptr<Index>
parseTerms(const py::bytes &data, unsigned flags)
{
    std::string_view bytes = data;
    TermBytes list;
    Call call;
    runUnlocked(call, [&] { return parsed(bytes, &call, &list); });
    py::tuple listed(list.ends.size());
    for (size_t i = 0, from = 0; i < list.ends.size(); from = list.ends[i++])
        listed[i] = py::bytes(list.bytes.data() + from, list.ends[i] - from);
    auto index = std::make_unique<Index>();
    index->list(std::move(listed), flags);
    return index;
}

/* Runs `count(const CountOptions *, uint64_t *counts)` without the GIL, with
 * `index` compiled for `mode`, and returns its Counts; a fault raises, a
 * file's naming the file nameOf() gives. keepGoing is asked where it has
 * something to do. */
template <typename F, typename N>
py::object
counted(Index *self, int mode, unsigned threads, size_t minPiece, Call &call, N nameOf,
        F count)
{
    Index &t = made(self);
    CountOptions c = {t.scanner(mode), threads, call.asker(), &call, minPiece};
    std::vector<uint64_t> counts(t.entries.size());
    runUnlocked(call, [&] { return count(&c, counts.data()); }, nameOf);
    return t.counted(std::move(counts), mode);
}

py::object
countText(Index *self, const py::object &text, int mode, unsigned threads, size_t minPiece)
{
    Bytes bytes;
    holdBytes(text.ptr(), &bytes);
    Call call;
    return counted(self, mode, threads, minPiece, call, nobody,
                   [&](const CountOptions *c, uint64_t *counts) {
                       return count_memory(c, bytes.data(), bytes.size(), counts);
                   });
}

/* Counts the files at `paths` (bytes), read as `formats` say (Compression
 * numbers): with minPiece 0 the files are spread over the threads, each
 * read whole by one; else there is one file, cut into pieces of at least
 * minPiece bytes for the threads. A fault names the file's `names` entry. */
py::object
countFiles(Index *self, const py::list &paths, const py::list &names, const py::list &formats,
           int mode, unsigned threads, size_t minPiece, const py::object &tell)
{
    std::vector<const char *> bytes;
    std::vector<Compression> as;
    for (size_t i = 0; i < paths.size(); i++) {
        bytes.push_back(PyBytes_AS_STRING(paths[i].ptr()));
        as.push_back(static_cast<Compression>(formats[i].cast<int>()));
    }
    size_t failed = minPiece > 0 ? 0 : paths.size();
    auto nameOf = [&] { return failed < paths.size() ? py::object(names[failed]) : py::none(); };
    Call call(tell);
    return counted(self, mode, threads, minPiece, call, nameOf,
                   [&](const CountOptions *c, uint64_t *counts) {
                       if (minPiece > 0)
                           return count_fileAs(c, bytes[0], as[0], counts);
                       return count_filesAs(c, bytes.data(), as.data(), bytes.size(), counts,
                                            &failed);
                   });
}

/* The counts of each text of the list `texts`, as the three arrays of
 * compressed sparse rows in native bytes: (counts as uint64, entries as
 * uint32, row starts as size_t). perMiB takes one thread per MiB of the
 * texts, up to `threads`. */
py::tuple
countEach(Index *self, const py::list &texts, int mode, unsigned threads, bool perMiB,
          const py::object &tell)
{
    Index &t = made(self);
    std::deque<Bytes> held(texts.size());
    std::vector<CountText> docs;
    uint64_t bytes = 0;
    for (size_t i = 0; i < texts.size(); i++) {
        holdBytes(texts[i].ptr(), &held[i], i);
        docs.push_back({held[i].data(), held[i].size()});
        bytes += held[i].size();
    }
    if (perMiB)
        threads = static_cast<unsigned>(std::clamp<uint64_t>(bytes >> 20, 1, threads));
    Call call(tell);
    CountOptions c = {t.scanner(mode), threads, call.asker(), &call, 0};
    CountRows each{};
    std::unique_ptr<CountRows, void (*)(CountRows *)> owned(&each, count_freeEach);
    runUnlocked(call, [&] { return count_each(&c, docs.data(), docs.size(), &each); });
    size_t zero = 0, rows = docs.size();
    const size_t *starts = each.rowStarts != nullptr ? each.rowStarts : &zero;
    auto raw = [](const void *p, size_t n) { return py::bytes(static_cast<const char *>(p), n); };
    return py::make_tuple(raw(each.counts, starts[rows] * sizeof *each.counts),
                          raw(each.entries, starts[rows] * sizeof *each.entries),
                          raw(starts, (rows + 1) * sizeof *starts));
}

/* A stream of an Index in a mode, counted chunk by chunk as the package
 * hands the chunks over, each scanned without the GIL. Fed by one thread
 * at a time, until it is finished. */
struct Stream : Zeroed {
    py::object owner;             // the Index, kept alive
    const Scanner *sc;            // null only in a stream never made
    int mode;
    ScanState st;
    std::vector<uint64_t> visits; // scanner_visitCount of them
    bool busy;                    // a feed is under way, or the stream is finished

    Stream(const py::object &index, int scanMode)
        : owner(index), sc(made(index.cast<Index *>()).scanner(scanMode)), mode(scanMode),
          visits(scanner_visitCount(sc), 0), busy(false)
    {
        scanner_start(sc, &st);
    }

    /* Claims the stream for a feed or its finish. */
    void claim()
    {
        if (sc == nullptr)
            throw py::type_error("this stream was never initialised");
        if (busy)
            throw py::value_error("a stream is fed by one thread, until it is finished");
        busy = true;
    }

    /* Scans the `n` bytes of `chunk`, bytes-like, from `at` (as many as
     * there are), which follow what came before. Returns the chunk's size. */
    size_t feed(const py::object &chunk, size_t at, size_t n)
    {
        Bytes held;
        holdBytes(chunk.ptr(), &held);
        claim();
        at = std::min(at, held.size());
        {
            Call call;
            Unlocked nogil(call);
            scanner_feed(sc, &st, held.data() + at, std::min(n, held.size() - at),
                         visits.data());
        }
        busy = false;
        return held.size();
    }

    py::object finish()
    {
        claim();
        Index &t = made(owner.cast<Index *>());
        std::vector<uint64_t> counts(t.entries.size());
        scanner_finish(sc, &st, visits.data());
        scanner_total(sc, visits.data(), counts.data());
        return t.counted(std::move(counts), mode);
    }
};

/* A Counts of `terms` and `kind` whose counts are the native 64-bit words
 * of `packed`, one for each term, plus those of `plus` unless it is None. */
py::object
countsOf(const py::tuple &terms, const py::bytes &packed, unsigned kind, Counts *plus)
{
    std::string_view in = packed;
    if (in.size() != terms.size() * 8 || (plus && made(plus).counts.size() != terms.size()))
        throw py::value_error("not one count for each term");
    std::vector<uint64_t> counts(terms.size());
    if (!counts.empty())
        memcpy(counts.data(), in.data(), in.size());
    if (plus && !count_add(counts.data(), plus->counts.data(), counts.size())) {
        PyErr_SetString(PyExc_OverflowError, "a sum of counts passes 2**64 - 1");
        throw py::error_already_set();
    }
    return newCounts(terms, std::move(counts), kind);
}

} // namespace

PYBIND11_MODULE(_termcount, m)
{
    m.doc() = "The compiled core of termcount; import termcount instead.";
    m.attr("__version__") = TERMCOUNT_VERSION;
    m.attr("IGNORE_CASE") = static_cast<unsigned>(SCAN_IGNORE_CASE);
    m.attr("KIND_IGNORE_CASE") = static_cast<unsigned>(KIND_IGNORE_CASE);
    py::module_::import("atexit").attr("register")(py::cpp_function(closeGate));
    py::object main = py::module_::import("threading").attr("main_thread")();
    mainThread = main.attr("ident").cast<unsigned long>();
    refusedClass = PyErr_NewException("termcount._termcount.Refused", nullptr, nullptr);
    m.attr("Refused") = py::handle(refusedClass);
    py::class_<Counts>(m, "Counts", py::buffer_protocol())
        .def(py::init<>())
        .def_property_readonly("terms", [](Counts *c) { return made(c).terms; })
        .def_property_readonly("_kind", [](Counts *c) { return made(c).kind; })
        .def_buffer([](Counts *c) {
            /* No exception may leave here: an uninitialised Counts shows
             * as none at all. */
            static uint64_t nothing[1];
            bool empty = c == nullptr || !c->terms || c->counts.empty();
            return py::buffer_info(empty ? nothing : c->counts.data(), sizeof(uint64_t),
                                   py::format_descriptor<uint64_t>::format(), 1,
                                   {empty ? 0 : c->counts.size()}, {sizeof(uint64_t)}, true);
        });
    m.def("_counts", countsOf, py::arg("terms"), py::arg("packed"), py::arg("kind"),
          py::arg("plus") = py::none());
    m.def("_set_counts_class", [](const py::object &cls) {
        if (countsClass == nullptr)
            countsClass = new py::object();
        *countsClass = cls;
    });
    py::class_<Index>(m, "Index")
        .def(py::init(&listTerms))
        .def_static("parse", parseTerms)
        .def("__len__", [](Index *t) { return made(t).entries.size(); })
        .def_property_readonly("terms", [](Index *t) { return made(t).terms; })
        .def_property_readonly("flags", [](Index *t) { return made(t).flags; })
        .def("count", countText)
        .def("count_files", countFiles)
        .def("count_each", countEach);
    py::class_<Stream>(m, "Stream")
        .def(py::init<const py::object &, int>())
        .def("feed", &Stream::feed)
        .def("finish", &Stream::finish);
}
