// libFuzzer target: the report reader of termcount-merge. The input is a
// search file and a report stream; the merger's outcome (the sums, or the
// fault and the line it names) must be what a direct reading of the row
// format gives.
//
// Input: byte 0 is the search file's length (0 to 255), then the search
// file, then the reports.
#include "frontend.h"
#include "merger.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Outcome {
    FaultKind kind;         // FAULT_NONE or FAULT_REFUSED
    MergeRefusal refusal;   // the rule broken; zero after FAULT_NONE
    uint64_t line;
    std::vector<uint64_t> sums;
    bool operator==(const Outcome &) const = default;
};

Outcome
refused(MergeRefusal why, uint64_t line)
{
    return {FAULT_REFUSED, why, line, {}};
}

// The rows read as whole lines, each checked in the order its bytes come.
Outcome
expected(const std::vector<std::string> &terms, const std::string &in)
{
    const uint64_t max = UINT64_MAX;
    size_t n = terms.size();
    std::vector<bool> shadowed(n);
    for (size_t i = 0; i < n; i++)
        for (size_t j = i + 1; j < n; j++)
            shadowed[i] = shadowed[i] || terms[i] == terms[j];
    Outcome o{FAULT_NONE, {}, 0, std::vector<uint64_t>(n)};
    uint64_t rows = 0;
    for (size_t pos = 0; pos < in.size(); rows++) {
        size_t lf = in.find('\n', pos);
        bool whole = lf != std::string::npos;
        std::string row = in.substr(pos, whole ? lf - pos : std::string::npos);
        pos = whole ? lf + 1 : in.size();
        o.line++;
        size_t d = 0;
        unsigned __int128 count = 0;
        for (; d < row.size() && row[d] >= '0' && row[d] <= '9'; d++)
            if ((count = count * 10 + (row[d] - '0')) > max)
                return refused(BIG_COUNT, o.line);
        if (d == row.size() && !whole)
            return refused(NO_LINE_FEED, o.line);
        if (d == 0 || d == row.size() || row[d] != ' ')
            return refused(BAD_COUNT, o.line);
        if (n == 0)
            return refused(NO_TERMS, o.line);
        const std::string &want = terms[rows % n];
        std::string term = row.substr(d + 1);
        if (want.compare(0, term.size(), term) != 0 || term.size() > want.size())
            return refused(BAD_TERM, o.line);
        if (!whole)
            return refused(NO_LINE_FEED, o.line);
        if (term.size() != want.size())
            return refused(BAD_TERM, o.line);
        uint64_t &sum = o.sums[rows % n];
        if (!shadowed[rows % n] && count > max - sum)
            return refused(SUM_OVERFLOW, o.line);
        if (!shadowed[rows % n])
            sum += static_cast<uint64_t>(count);
    }
    if (n != 0 && rows % n != 0)
        return refused(CUT_SHORT, o.line);
    if (n != 0 && rows == 0)
        return refused(NO_REPORT, o.line);
    return o;
}

FILE *
openMemory(std::vector<uint8_t> &bytes)
{
    // fmemopen wants a buffer of at least one byte.
    bytes.push_back(0);
    return fmemopen(bytes.data(), bytes.size() - 1, "rb");
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t termsSize = std::min<size_t>(data[0], size - 1);
    std::vector<uint8_t> termBytes(data + 1, data + 1 + termsSize);
    std::vector<uint8_t> reportBytes(data + 1 + termsSize, data + size);
    std::string reports(reportBytes.begin(), reportBytes.end());

    FILE *termFile = openMemory(termBytes);
    SearchFile sf;
    if (termFile == nullptr || searchFile_openStream(&sf, termFile).kind != FAULT_NONE)
        abort();
    Merge m = {};
    const char *term;
    size_t len;
    while (searchFile_next(&sf, &term, &len))
        if (!merge_takeTerm(&m, term, len))
            abort();
    if (searchFile_close(&sf).kind != FAULT_NONE || !merge_ready(&m))
        abort();
    std::vector<std::string> terms;
    for (size_t i = 0; i < m.count; i++)
        terms.emplace_back(reinterpret_cast<char *>(m.entries[i].text), m.entries[i].length);

    FILE *in = openMemory(reportBytes);
    if (in == nullptr)
        abort();
    Fault f = merge_stream(&m, in);
    fclose(in);
    if (f.kind == FAULT_NONE)
        f = merge_end(&m);
    if (f.kind != FAULT_NONE && f.kind != FAULT_REFUSED)
        abort();
    Outcome got{f.kind, f.kind == FAULT_REFUSED ? m.refusal : MergeRefusal{}, m.line, {}};
    if (f.kind == FAULT_NONE)
        got.sums.assign(m.sums, m.sums + m.count);
    if (!(got == expected(terms, reports)))
        abort();
    merge_free(&m);
    return 0;
}
