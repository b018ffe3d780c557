// Allocation failure: the calls of the index and of the threaded count to
// malloc, calloc, realloc and aligned_alloc are wrapped at link time, and a
// load or a count is repeated with each of its allocations failing in turn.
#include "count.h"
#include "support.h"

#include <gtest/gtest.h>

#include <functional>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *p, size_t size);
void *__real_aligned_alloc(size_t alignment, size_t size);
void __real_free(void *p);
}

namespace {

long failAt;      // number of the allocation to fail; 0: none
long allocations; // allocations asked for since the count was reset
long live;        // blocks handed out and not yet freed

bool
failThisOne()
{
    return ++allocations == failAt;
}

}  // namespace

extern "C" {

void *
__wrap_malloc(size_t size)
{
    if (failThisOne())
        return nullptr;
    void *p = __real_malloc(size);
    live += p != nullptr;
    return p;
}

void *
__wrap_calloc(size_t count, size_t size)
{
    if (failThisOne())
        return nullptr;
    void *p = __real_calloc(count, size);
    live += p != nullptr;
    return p;
}

void *
__wrap_aligned_alloc(size_t alignment, size_t size)
{
    if (failThisOne())
        return nullptr;
    void *p = __real_aligned_alloc(alignment, size);
    live += p != nullptr;
    return p;
}

void *
__wrap_realloc(void *old, size_t size)
{
    if (failThisOne())
        return nullptr;
    void *p = __real_realloc(old, size);
    live += p != nullptr && old == nullptr;
    return p;
}

void
__wrap_free(void *p)
{
    live -= p != nullptr;
    __real_free(p);
}

}  // extern "C"

namespace {

using namespace support;

TEST(AllocFailure, EveryAllocationOfALoad)
{
    const std::vector<std::vector<std::string>> lists = {
        {"a"},
        {"abc", "ab", "abd", "abc", "", "x"},
        {"the", "cat", "sat", "on", "the", "mat", "theatre", "catalogue",
         "a\xff", std::string("\0\0", 2), "longest term of them all"},
    };
    for (const std::vector<std::string> &terms : lists) {
        SCOPED_TRACE(terms.size());
        long before = live;
        allocations = 0;
        failAt = 0;
        ASSERT_NE(buildTree(terms), nullptr);
        long total = allocations;
        ASSERT_GE(total, 4) << "the wrappers saw no allocation";
        ASSERT_EQ(live, before) << "tree_destroy left blocks behind";

        for (long n = 1; n <= total; n++) {
            SCOPED_TRACE(n);
            TermList source{&terms, 0};
            Tree *tree = nullptr;
            allocations = 0;
            failAt = n;
            bool ok = tree_create(&source, &tree, listEntryIterator);
            failAt = 0;
            EXPECT_FALSE(ok);
            if (n == 1) {
                EXPECT_EQ(tree, nullptr);  // the Tree itself
            } else {
                ASSERT_NE(tree, nullptr);
                EXPECT_EQ(tree->failed, 1);
                size_t count;
                const TreeEntry *list = tree_getEntryList(tree, &count);
                for (size_t i = 0; i < count; i++)
                    EXPECT_NE(list[i].text, nullptr);
            }
            tree_destroy(tree);
            EXPECT_EQ(live, before);
        }
    }
}

// Runs `run`, which must succeed, then again failing each of the
// allocations it made in turn: each time it must say FAULT_MEMORY and
// leave nothing allocated.
void
failEveryAllocation(const std::function<Fault()> &run)
{
    long before = live;
    allocations = 0;
    failAt = 0;
    ASSERT_EQ(run().kind, FAULT_NONE);
    long total = allocations;
    ASSERT_GE(total, 2) << "the wrappers saw no allocation";
    for (long n = 1; n <= total; n++) {
        SCOPED_TRACE(n);
        allocations = 0;
        failAt = n;
        Fault f = run();
        failAt = 0;
        EXPECT_EQ(f.kind, FAULT_MEMORY);
        EXPECT_EQ(live, before);
    }
}

// A compilation that runs out of memory gives none back, half built or not.
TEST(AllocFailure, EveryAllocationOfACompile)
{
    TreePtr tree = buildTree({"cat", "at", std::string(40, 'x'), "Cat"});
    for (Mode mode : {Any, Word, Line})
    for (unsigned form : {0u, unsigned{SCAN_COMPACT}}) {
        SCOPED_TRACE(mode);
        SCOPED_TRACE(form);
        failEveryAllocation([&] {
            Scanner *sc = nullptr;
            Fault f = scanner_compile(tree.get(), static_cast<ScanMode>(mode),
                                      SCAN_IGNORE_CASE | form, nullptr, nullptr, &sc);
            EXPECT_EQ(sc == nullptr, f.kind != FAULT_NONE);
            scanner_free(sc);
            return f;
        });
    }
}

// A count that cannot have its threads' counters or buffers scans nothing
// and says so: a missing counter never passes for a complete count.
TEST(AllocFailure, EveryAllocationOfACount)
{
    const std::vector<std::string> terms = {"cat", "at", std::string(40, 'x')};
    TreePtr tree = buildTree(terms);
    std::string text;
    for (int i = 0; i < 2000; i++)
        text += "the cat sat\n";
    ScannerPtr sc = compileScanner(tree.get(), Word);
    ASSERT_TRUE(sc);
    for (unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(threads);
        CountOptions c = {sc.get(), threads, nullptr, nullptr, 0};
        std::vector<uint64_t> counts(terms.size());
        failEveryAllocation([&] {
            Fault f = count_memory(&c, text.data(), text.size(), counts.data());
            if (f.kind == FAULT_NONE)
                EXPECT_EQ(counts, (std::vector<uint64_t>{2000, 0, 0}));
            return f;
        });
    }
}

}  // namespace
