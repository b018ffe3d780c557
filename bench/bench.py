"""Times termcount, a byte-reading floor and the tools a user would reach for
instead, over the data that prepare.sh makes, and prints Markdown tables:
the peers (main), the compiled count of count.h against the program and
Hyperscan (compiled), sharded runs on GNU parallel (scaling), the Python
module and its Dask integration (python), and the module's counts per
document and over many files (documents), all in one run on one machine.

Every command runs --runs times; the tables give the median wall time, the
throughput over the text in MiB/s, the peak resident memory and how far
each peer's counts are from termcount's. A run past --timeout is stopped and
shown as such."""
import argparse
import os
import shlex
import signal
import statistics
import subprocess
import sys
import threading
import time

p = argparse.ArgumentParser()
p.add_argument("--data", required=True)
p.add_argument("--termcount", required=True)
p.add_argument("--floor", required=True)
p.add_argument("--baseline", help="an older termcount to compare with")
p.add_argument("--runs", type=int, default=3)
p.add_argument("--timeout", type=float, default=120)
p.add_argument("--mb", type=int, default=256)
p.add_argument("--only", help="run only the cases of main, compiled, python and "
               "documents whose name contains this")
p.add_argument("--merge", required=True, help="termcount-merge")
p.add_argument("--python-path", help="where the termcount Python package is")
p.add_argument("--count-bench", help="count_bench, the compiled count's driver")
p.add_argument("--hs-count", help="hs_count, the Hyperscan peer")
p.add_argument("--tables", default="main,compiled,scaling,python,documents",
               help="which tables to print, of main, compiled, scaling, python "
               "and documents")
args = p.parse_args()

D = args.data
TEXT = f"{D}/kjv-{args.mb}.txt"
# The cases that are slow for the program run over at most 64 MiB.
SMALL_MB = min(args.mb, 64)
SMALL_TEXT = f"{D}/kjv-{SMALL_MB}.txt"
C = "LC_ALL=C"
MiB = 1 << 20

CASES = [
    ("any × 100 words", "any", "words100.txt", TEXT, ["grep", "rg", "aho"]),
    ("word × 10,000 words", "word", "words10k.txt", TEXT, ["grep", "rg"]),
    ("line × 1,000 lines", "line", "lines1000.txt", TEXT, ["grep", "rg", "awk"]),
    ("any × 100,000 words", "any", "words100k.txt", TEXT, ["grep", "rg", "aho"]),
    ("any × 'a' and 1,000 'a's", "any", "pathological.txt", f"{D}/a1m.txt",
     ["grep", "rg", "aho"]),
    ("load of 100,000 words", "any", "words100k.txt", "/dev/null", []),
]

FLAG = {"any": "", "word": " -w", "line": " -x"}


def peer_command(peer, mode, terms):
    uniq = f"| {C} sort | {C} uniq -c"
    if peer == "grep":
        return f"{C} grep -aoF {FLAG[mode]} -f {terms} {uniq}"
    if peer == "rg":
        return f"rg -a --no-unicode -oF {FLAG[mode]} -f {terms} {uniq}"
    if peer == "awk":
        prog = "NR==FNR { want[$0]; next } $0 in want { c[$0]++ } END { for (k in c) print c[k], k }"
        return f"{C} awk {shlex.quote(prog)} {terms} -"
    if peer == "aho":
        here = os.path.dirname(os.path.abspath(__file__))
        return f"/usr/bin/python3 {here}/aho_count.py {terms}"
    raise ValueError(peer)


def run_once(cmd, stdin_path, out_path):
    """Returns (seconds, peak RSS in KiB), "timeout" or the error it printed.
    GNU time reports the peak of the whole pipeline; measured from here it
    would include this interpreter's own pages, inherited across the fork."""
    rss_path, err_path = out_path + ".rss", out_path + ".err"
    own_time = out_path + ".time"  # a command that times itself leaves it here
    if os.path.exists(own_time):
        os.remove(own_time)
    with open(stdin_path, "rb") as fin, open(out_path, "wb") as fout, \
            open(err_path, "wb") as ferr:
        t0 = time.perf_counter()
        proc = subprocess.Popen(
            ["/usr/bin/time", "-f", "%M", "-o", rss_path, "sh", "-c", cmd],
            stdin=fin, stdout=fout, stderr=ferr, start_new_session=True)
        # A blocking wait, with a timer to stop the run: wait(timeout=)
        # polls, sleeping up to 50 ms between looks, and so rounds every
        # time up to the next look.
        stopper = threading.Timer(args.timeout, os.killpg, (proc.pid, signal.SIGKILL))
        stopper.start()
        proc.wait()
        elapsed = time.perf_counter() - t0
        stopper.cancel()
        if elapsed >= args.timeout:
            return "timeout"
    with open(err_path, "rb") as f:
        err = f.read().decode("utf-8", "replace").strip()
    if err or proc.returncode != 0:
        return f"failed: {err.splitlines()[-1] if err else proc.returncode}"
    if os.path.exists(own_time):
        with open(own_time) as f:
            elapsed = float(f.read())
    with open(rss_path) as f:
        return elapsed, int(f.read().split()[-1])


def measure(cmd, stdin_path, out_path):
    times, rss = [], 0
    for _ in range(args.runs):
        r = run_once(cmd, stdin_path, out_path)
        if isinstance(r, str):
            return r
        times.append(r[0])
        rss = max(rss, r[1])
    return statistics.median(times), rss


def parse_counts(path):
    """term -> count from 'COUNT TERM' lines (leading blanks allowed). A term
    listed twice keeps its larger count: termcount counts the last listing."""
    counts = {}
    with open(path, "rb") as f:
        for line in f.read().split(b"\n"):
            line = line.lstrip(b" ")
            if not line:
                continue
            n, _, term = line.partition(b" ")
            counts[term] = max(counts.get(term, 0), int(n))
    return counts


def compare(want, got):
    """How far a peer's counts are from termcount's."""
    total = sum(want.values())
    diff = sum(abs(want.get(t, 0) - got.get(t, 0)) for t in set(want) | set(got))
    wrong = sum(1 for t in set(want) | set(got) if want.get(t, 0) != got.get(t, 0))
    if wrong == 0:
        return "same"
    pct = 100.0 * diff / total if total else 0.0
    return f"{wrong} terms off, {pct:.1f}% of matches"


def throughput(size, secs):
    """MiB/s, with decimals where the figure is small."""
    speed = size / MiB / secs
    return f"{speed:.0f}" if speed >= 10 else f"{speed:.2f}"


def fmt_row(case, tool, m, size, ref, floor, note):
    """A row of the main table: `ref` is termcount's time, `floor` the
    floor's, for the ratio columns."""
    if m == "timeout":
        return f"| {case} | {tool} | > {args.timeout:.0f} (stopped) | | | | | |"
    if isinstance(m, str):
        return f"| {case} | {tool} | {m} | | | | | |"
    secs, rss = m
    speed = throughput(size, secs) if size else ""
    ratio = f"{secs / ref:.2f}" if ref else ""
    over_floor = f"{secs / floor:.1f}" if floor else ""
    return (f"| {case} | {tool} | {secs:.3f} | {speed} | {rss / 1024:.1f} | {ratio} "
            f"| {over_floor} | {note} |")


def output_note(a, b):
    """Whether two commands printed the same bytes, as the table says it."""
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return "identical output" if fa.read() == fb.read() else "OUTPUT DIFFERS"


def scaling_row(case, how, m, one, job_kib, note):
    if isinstance(m, str):
        return f"| {case} | {how} | {m} | | | |"
    speed = f"{one / m[0]:.2f}×" if one else ""
    return f"| {case} | {how} | {m[0]:.3f} | {speed} | {job_kib / 1024:.1f} | {note} |"


def scaling():
    """One termcount run against the same count spread over two jobs by GNU
    parallel and merged, and the 100,000-word list cut into slices, the rows
    of a case run interleaved. Each job runs under GNU time, which leaves
    its peak RSS in a file of its own."""
    print("### Across cores: GNU parallel and termcount-merge\n")
    merge, tc = args.merge, args.termcount
    rss = f"{out}/rss"
    os.makedirs(rss, exist_ok=True)

    def timed(name):
        return f"/usr/bin/time -f %M -o {rss}/{name}.{{#}}"

    def jobs_kib(name):
        """The largest peak of the jobs of a row, over all its runs."""
        peak = 0
        for f in os.listdir(rss):
            if f.startswith(name + "."):
                with open(f"{rss}/{f}") as fh:
                    peak = max(peak, int(fh.read().split()[-1]))
                os.remove(f"{rss}/{f}")
        return peak

    def rows(case, terms, mode_rows, want):
        """Runs "one termcount" and the sharded rows of a case interleaved
        and prints them; `mode_rows` is [(name, label, jobs, stdin)]."""
        commands = {"one": (f"{tc} {terms} {mode_of[case]}", TEXT, want)}
        for name, _, jobs, stdin in mode_rows:
            commands[name] = (f"{jobs} | {merge} {terms}", stdin, f"{out}/sharded-{name}.txt")
        m = measure_interleaved(commands)
        one = m["one"]
        if case not in printed:
            print(scaling_row(case, "one termcount", one, None, one[1], ""))
            printed.add(case)
        for name, label, _, _ in mode_rows:
            note = "" if isinstance(m[name], str) else output_note(commands[name][2], want)
            print(scaling_row(case, label, m[name], one[0], jobs_kib(name), note), flush=True)

    # The text cut in two at a line feed, as files: two termcounts over them
    # at once show what two cores give with no pipe and no parallel.
    halves = f"{out}/half."
    subprocess.run(["split", "-n", "l/2", TEXT, halves], check=True)

    print("| case | how | median s | speed-up over one termcount | peak RSS per job MiB | report |")
    print("|---|---|---|---|---|---|")
    mode_of, printed = {}, set()
    for case, mode, terms_file in [("any × 100 words", "any", "words100.txt"),
                                   ("word × 10,000 words", "word", "words10k.txt"),
                                   ("any × 100,000 words", "any", "words100k.txt")]:
        terms, want = f"{D}/{terms_file}", f"{out}/one.txt"
        mode_of[case] = mode
        shards = [
            ("pipepart", "parallel -j2 --pipepart, merged",
             f"parallel -j2 --pipepart -a {TEXT} --block -1 {timed('pipepart')} {tc} {terms} {mode}",
             "/dev/null"),
            ("roundrobin", "parallel -j2 --pipe --round-robin --block 1M, merged",
             f"parallel -j2 --pipe --round-robin --block 1M {timed('roundrobin')} {tc} {terms} {mode}",
             TEXT),
            ("ceiling", "ceiling: 2 halves as files at once, merged",
             f"{{ {timed('ceiling').replace('{#}', '1')} {tc} {terms} {mode} < {halves}aa & "
             f"{timed('ceiling').replace('{#}', '2')} {tc} {terms} {mode} < {halves}ab "
             f"> {out}/half2.txt; wait; cat {out}/half2.txt; }}", "/dev/null"),
        ]
        if terms_file == "words100k.txt":
            for k in (1, 2, 4):
                prefix = f"{out}/slice{k}."
                subprocess.run(["split", "-n", f"l/{k}", terms, prefix], check=True)
                shards.append((f"slices{k}", f"{k} slice{'s' if k > 1 else ''}, parallel -j2 -k, merged",
                               f"parallel -j2 -k {timed(f'slices{k}')} {tc} {{}} any '<' {TEXT} ::: {prefix}*",
                               "/dev/null"))
        rows(case, terms, shards, want)
    # `want` is the whole run of the 100,000-word list now.
    sixteen = f"{out}/sixteen.txt"
    with open(sixteen, "wb") as f, open(want, "rb") as r:
        f.write(r.read() * 16)
    m = measure(f"{merge} {terms}", sixteen, f"{out}/merged16.txt")
    print(scaling_row("16 reports of 104,078 rows", "termcount-merge", m, None, m[1], ""))


PY_CASES = [("any × 100 words", "any", "words100.txt"),
            ("word × 10,000 words", "word", "words10k.txt"),
            ("any × 100,000 words", "any", "words100k.txt")]
PY_ROWS = [("memory", "count(text in memory)"),
           ("file1", "count_file(threads=1)"),
           ("file2", "count_file(threads=2)"),
           ("file1-progress", "count_file(threads=1, progress=a Python callable)"),
           ("stream", "count_stream(file object)"),
           ("dask-threads", "dask count_files, local threaded scheduler, 16 MiB blocks"),
           ("dask-processes", "dask count_files, LocalCluster of 2 one-thread worker processes, 16 MiB blocks")]


def measure_interleaved(commands):
    """measure() for several commands, {name: (cmd, stdin, out)}, run in
    turn, run after run: this machine's speed drifts by tens of percent
    over minutes, and interleaving makes every row see the same drift, so
    that their ratios hold. Returns {name: (median s, peak KiB) or str}."""
    times = {name: [] for name in commands}
    rss = {name: 0 for name in commands}
    failed = {}
    for _ in range(args.runs):
        for name, (cmd, stdin, got) in commands.items():
            if name in failed:
                continue
            r = run_once(cmd, stdin, got)
            if isinstance(r, str):
                failed[name] = r
                continue
            times[name].append(r[0])
            rss[name] = max(rss[name], r[1])
    return {name: failed.get(name) or (statistics.median(times[name]), rss[name])
            for name in commands}


def python_row(case, how, m, size, base, note):
    """A row of the Python tables: `base` is the time that the speed-up
    is over."""
    if isinstance(m, str):
        return f"| {case} | {how} | {m} | | | | |"
    speed = f"{base / m[0]:.2f}×" if base else ""
    return (f"| {case} | {how} | {m[0]:.3f} | {throughput(size, m[0])} "
            f"| {m[1] / 1024:.1f} | {speed} | {note} |")


def python_command(how, terms, text, mode):
    """The command of a python_bench.py row, and where its report goes."""
    here = os.path.dirname(os.path.abspath(__file__))
    env = f"PYTHONPATH={shlex.quote(args.python_path)}" if args.python_path else ""
    got = f"{out}/py-{how}.txt"
    return (f"{env} /usr/bin/python3 {here}/python_bench.py {how} {terms} "
            f"{shlex.quote(text)} {mode} {got}.time", "/dev/null", got)


def report_note(got, want):
    return output_note(got, want).replace("output", "report")


def python_table():
    """The termcount program against the module's entry points, Dask's two
    local schedulers and pyahocorasick. The module's rows time the load of
    the terms and the count, as the program's time holds its load; Python's
    start, reading the text into memory and starting a cluster are not
    timed (see python_bench.py). The rows of a case run interleaved."""
    size = os.path.getsize(TEXT)
    print("### From Python\n")
    print("| case | how | median s | MiB/s | peak RSS MiB | speed-up over the program | report |")
    print("|---|---|---|---|---|---|---|")
    for case, mode, terms_file in PY_CASES:
        if args.only and args.only not in case:
            continue
        terms = f"{D}/{terms_file}"
        want = f"{out}/py-one.txt"
        commands = {"one": (f"{args.termcount} {terms} {mode}", TEXT, want)}
        for how, _ in PY_ROWS:
            commands[how] = python_command(how, terms, TEXT, mode)
        if mode == "any":
            commands["aho"] = (peer_command("aho", mode, terms), TEXT, f"{out}/py-aho.txt")
        m = measure_interleaved(commands)
        one = m["one"]
        print(python_row(case, "termcount program", one, size, None, ""))
        for how, label in PY_ROWS:
            note = "" if isinstance(m[how], str) else report_note(commands[how][2], want)
            if note and how in ("file2", "file1-progress") and not isinstance(m["file1"], str):
                note += (f"; {m['file1'][0] / m[how][0]:.2f}× threads=1" if how == "file2" else
                         f"; time {m[how][0] / m['file1'][0]:.2f}× that of no progress")
            print(python_row(case, label, m[how], size, one[0], note))
        if "aho" in m:
            note = "" if isinstance(m["aho"], str) else \
                compare(parse_counts(want), parse_counts(commands["aho"][2]))
            print(python_row(case, "python3 pyahocorasick, counting matches", m["aho"], size,
                             one[0], "same counts" if note == "same" else note), flush=True)
    print()


# Mirrors python_bench.py: the text cut into documents of 200 bytes, at
# most a million of them, the loop over count() timed on the first 20,000.
DOC_BYTES, MAX_DOCS, SAMPLE = 200, 1_000_000, 20_000


def per_document_table():
    """count_each against what a user would write without it, and
    count_files against a loop over count_file. The first row of a case is
    the one the others' speed-up is over; the rows of a case run
    interleaved."""
    docs = min(MAX_DOCS, os.path.getsize(TEXT) // DOC_BYTES)
    files = f"{D}/files-{args.mb}/part-*"
    nfiles = len(os.listdir(f"{D}/files-{args.mb}"))
    print("### Per document and many files, from Python\n")
    print("| case | how | median s | MiB/s | peak RSS MiB | speed-up over the first row | report |")
    print("|---|---|---|---|---|---|---|")
    cases = [
        (f"any × 10,000 words in {docs:,} documents of 200 bytes", "any", TEXT,
         docs * DOC_BYTES, "each1",
         [("each-loop", "a loop over count(), nonzero counts gathered into a csr_matrix"),
          ("each-aho", "python3 pyahocorasick, a loop making a dict per document"),
          ("each1", "count_each(threads=1)"),
          ("each2", "count_each(threads=2)"),
          ("each1-progress", "count_each(threads=1, progress=a Python callable)")]),
        (f"word × 10,000 words over {nfiles:,} files", "word", files, os.path.getsize(TEXT), "one",
         [("files-loop", "a loop over count_file(path)"),
          ("files1", "count_files(threads=1)"),
          ("files2", "count_files(threads=2)"),
          ("one", "termcount program over the files' text as one")]),
    ]
    for case, mode, text, size, reference, rows in cases:
        if args.only and args.only not in case:
            continue
        terms = f"{D}/words10k.txt"
        commands = {how: python_command(how, terms, text, mode) for how, _ in rows}
        if "one" in commands:
            commands["one"] = (f"{args.termcount} {terms} {mode}", TEXT, f"{out}/py-one.txt")
        m = measure_interleaved(commands)
        want = commands[reference][2]
        base = m[rows[0][0]]
        base = None if isinstance(base, str) else base[0]
        for how, label in rows:
            note = ""
            if isinstance(m[how], str) or how == reference:
                pass
            elif how == "each-aho":
                note = compare(parse_counts(want), parse_counts(commands[how][2]))
                note = "same counts" if note == "same" else note
            elif how == "each-loop" and docs > SAMPLE:
                note = f"extrapolated from the first {SAMPLE:,} documents"
            else:
                note = report_note(commands[how][2], want)
            if how == "each1-progress" and not isinstance(m["each1"], str):
                note += f"; time {m[how][0] / m['each1'][0]:.2f}× that of no progress"
            print(python_row(case, label, m[how], size, None if how == rows[0][0] else base,
                             note), flush=True)
    print()


def main_table():
    print("### termcount and the tools a user would reach for\n")
    print("| case | tool | median s | MiB/s | peak RSS MiB | time ÷ termcount's | time ÷ floor's | counts |")
    print("|---|---|---|---|---|---|---|---|")
    for name, mode, terms_file, text, peers in CASES:
        if args.only and args.only not in name:
            continue
        terms = f"{D}/{terms_file}"
        size = os.path.getsize(text) if text != "/dev/null" else 0
        own = f"{out}/termcount.txt"
        # termcount, the baseline and the floor run interleaved, so that the
        # ratios between them hold while this machine's speed drifts.
        commands = {"tc": (f"{args.termcount} {terms} {mode}", text, own)}
        if args.baseline:
            commands["base"] = (f"{args.baseline} {terms} {mode}", text, f"{out}/base.txt")
        if size:
            commands["floor"] = (args.floor, text, f"{out}/floor.txt")
        m = measure_interleaved(commands)
        tc = m["tc"]
        if isinstance(tc, str):
            sys.exit(f"termcount {tc}")
        want = parse_counts(own)
        floor = m.get("floor")
        rows = [fmt_row(name, "termcount", tc, size, None, floor[0] if floor else None, "")]
        if args.baseline:
            note = output_note(own, f"{out}/base.txt")
            rows.append(fmt_row(name, "baseline termcount", m["base"], size, tc[0], None, note))
        if floor:
            rows.append(fmt_row(name, "floor (read bytes only)", floor, size,
                                tc[0], None, ""))
        for peer in peers:
            cmd = peer_command(peer, mode, terms)
            po = f"{out}/{peer}.txt"
            m = measure(cmd, text, po)
            note = compare(want, parse_counts(po)) if not isinstance(m, str) else ""
            label = {"grep": f"grep -oF{FLAG[mode]} \\| sort \\| uniq -c",
                     "rg": f"rg -oF{FLAG[mode]} \\| sort \\| uniq -c",
                     "awk": "awk hash of lines", "aho": "python3 pyahocorasick"}[peer]
            rows.append(fmt_row(name, label, m, size, tc[0], None, note))
        print("\n".join(rows), flush=True)
    print()


# The a … a^1000 case: too slow for the program and for Hyperscan.
RUNS_OF_A = {
    "program": "not run: 1,000 trie steps from every byte, minutes",
    "hs": "not run: up to 1,000 matches end at every byte, a callback each",
}
BIG_LIST = {
    "program": "not run: its trie, 2 KiB a node, would take about 18 GB",
    "hs": "not run: its compile of the list takes over two minutes",
}
COMPILED_CASES = [
    # name, mode, terms, text, the rows not run and why
    ("any × 100 words", "any", "words100.txt", TEXT, {}),
    ("word × 10,000 words", "word", "words10k.txt", TEXT, {}),
    ("line × 1,000 lines", "line", "lines1000.txt", TEXT, {}),
    (f"any × 100,000 words, {SMALL_MB} MiB", "any", "words100k.txt", SMALL_TEXT, {}),
    (f"any × 'a' … 1,000 'a's, {SMALL_MB} MiB of 'a'", "any", "a-to-a1000.txt",
     f"{D}/a-{SMALL_MB}.txt", RUNS_OF_A),
    ("any × 3 log words (none occur)", "any", "log3.txt", TEXT, {}),
    ("any × 20 random 10-letter terms", "any", "random20.txt", TEXT, {}),
    ("word × 100 words occurring 1 to 5 times", "word", "rare100.txt", TEXT, {}),
    ("any × 1,000 random 10-letter terms", "any", "random1000.txt", TEXT, {}),
    ("index of 100,000 words", "any", "words100k.txt", "/dev/null", {}),
    ("index of 200,000 random 20-byte terms", "any", "binary200k.txt", "/dev/null", {}),
    ("index of 200,000 40-digit hex strings", "any", "hex200k.txt", "/dev/null",
     {"program": "not run: its trie, 2 KiB a node, would take about 14 GB"}),
    ("index of 1,000,000 domain-like terms", "any", "domains1m.txt", "/dev/null", BIG_LIST),
    ("any × 1,000,000 domain-like terms", "any", "domains1m.txt", TEXT, BIG_LIST),
]
# The cases also counted with the dense form forced, as 1.3 compiled every
# list, beside the form the compile chooses.
DENSE_TOO = {"any × 1,000,000 domain-like terms", "index of 200,000 40-digit hex strings",
             "index of 1,000,000 domain-like terms"}


def a_runs_report(terms, text, path):
    """The report the terms a, aa, ... must give over a text of `a`s only:
    a run of k of them occurs at every start but the last k - 1."""
    size = os.path.getsize(text)
    with open(terms, "rb") as f:
        lengths = [len(t) for t in f.read().split(b"\n") if t]
    with open(path, "wb") as f:
        f.write(b"".join(b"%d %s\n" % (max(size - k + 1, 0), b"a" * k) for k in lengths))


def stats_note(path):
    """How the last run of count_bench or hs_count spent its time, and how
    large its compiled index was, from what it wrote to `path`."""
    with open(path) as f:
        stats = dict(line.split() for line in f)
    steps = ", ".join(f"{k} {float(stats[k]):.3f} s" for k in ("load", "compile", "count", "scan")
                      if k in stats)
    size = int(stats["index"])
    size = f"{size / MiB:.1f} MiB" if size >= MiB else f"{size / 1024:.1f} KiB"
    return f"{steps}; compiled index {size}"


def compiled_table():
    """The compiled count of count.h (count_bench: load, compile, count_file,
    report) against the termcount program and Hyperscan (hs_count), the rows
    of a case run interleaved. Every row is a whole process, the load of the
    terms and the compile included, as in the program's own time."""
    print("### The compiled count against the program and Hyperscan\n")
    print("| case | how | median s | MiB/s | peak RSS MiB | speed-up over the program "
          "| speed-up over Hyperscan | report |")
    print("|---|---|---|---|---|---|---|---|")

    def row(case, how, m, size, program, hs, note):
        if isinstance(m, str):
            return f"| {case} | {how} | {m} | | | | | |"
        secs, rss = m
        speed = throughput(size, secs) if size else ""
        over = [f"{base / secs:.2f}×" if base else "" for base in (program, hs)]
        return (f"| {case} | {how} | {secs:.3f} | {speed} | {rss / 1024:.1f} | {over[0]} "
                f"| {over[1]} | {note} |")

    labels = {"program": "termcount program", "hs": "Hyperscan 5.4, stream mode (hs_count)",
              "c1": "compiled count, count_file(threads=1)",
              "c2": "compiled count, count_file(threads=2)",
              "cd": "compiled count, dense form, count_file(threads=1)",
              "floor": "floor: the text read through (dd bs=1M to /dev/null)"}
    for case, mode, terms_file, text, not_run in COMPILED_CASES:
        if args.only and args.only not in case:
            continue
        terms = f"{D}/{terms_file}"
        size = os.path.getsize(text) if text != "/dev/null" else 0
        want = f"{out}/compiled-want.txt"
        stats = {name: f"{out}/compiled-{name}.stats" for name in labels}
        commands = {
            "program": (f"{args.termcount} {terms} {mode}", text, want),
            "hs": (f"HS_COUNT_STATS={stats['hs']} {args.hs_count} {terms} {mode}", text,
                   f"{out}/compiled-hs.txt"),
        }
        for threads in (1, 2) if size else (1,):
            name = f"c{threads}"
            commands[name] = (
                f"COUNT_BENCH_STATS={stats[name]} {args.count_bench} {terms} {mode} {text} "
                f"{threads}", "/dev/null", f"{out}/compiled-{name}.txt")
        if case in DENSE_TOO:
            commands["cd"] = (
                f"COUNT_BENCH_FORM=dense COUNT_BENCH_STATS={stats['cd']} {args.count_bench} "
                f"{terms} {mode} {text} 1", "/dev/null", f"{out}/compiled-cd.txt")
        if size:
            commands["floor"] = (f"dd if={text} bs=1M of=/dev/null status=none", "/dev/null",
                                 f"{out}/compiled-floor.txt")
        for name in not_run:
            del commands[name]
        m = measure_interleaved(commands)
        like = "to the expected counts"
        if "program" in not_run and terms_file == "a-to-a1000.txt":
            a_runs_report(terms, text, want)
        elif "program" in not_run:
            # Where the program cannot hold the list, the dense form's
            # counts are the ones to agree with.
            want = commands["cd" if "cd" in commands else "c1"][2]
            like = "to the dense form's"
        base = {k: m[k][0] if k in m and not isinstance(m[k], str) else None
                for k in ("program", "hs", "c1")}
        for name in labels:
            if name not in commands:
                if not_run.get(name):
                    print(f"| {case} | {labels[name]} | {not_run[name]} | | | | | |")
                continue
            note = ""
            if name == "floor" and not isinstance(m[name], str) and base["c1"]:
                note = f"compiled count threads=1 at {base['c1'] / m[name][0]:.2f}× this time"
            elif name != "program" and not isinstance(m[name], str):
                note = output_note(commands[name][2], want)
                if "program" in not_run:
                    note = note.replace("output", like)
                if name == "c2" and base["c1"]:
                    note += f"; {base['c1'] / m[name][0]:.2f}× threads=1"
                if name == "cd" and base["c1"]:
                    note += f"; {base['c1'] / m[name][0]:.2f}× the chosen form"
                note += "; " + stats_note(stats[name])
            print(row(case, labels[name], m[name], size,
                      None if name == "program" else base["program"],
                      None if name in ("program", "hs") else base["hs"], note), flush=True)
    print()


out = os.path.join(D, "out")
os.makedirs(out, exist_ok=True)
tables = args.tables.split(",")
if "main" in tables:
    main_table()
if "compiled" in tables:
    compiled_table()
if "scaling" in tables:
    scaling()
    print()
if "python" in tables:
    python_table()
if "documents" in tables:
    per_document_table()
