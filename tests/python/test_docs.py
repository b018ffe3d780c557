"""The docs against the code: docs/python.md names every public function,
method and argument of termcount and termcount.dask as the module has them,
and every example of docs/python.md and README.md runs as printed.

docs/python.md's reference entries are headings of one code span, such as
### `Terms.count(text, mode="any", threads=None)`: a name (relative to the
termcount package, or starting with termcount.), and for a callable its
parameters with their defaults, each of them with a "- `name`:" bullet
below. A ```python block runs in a fresh folder holding the bundled
examples/; an ```output block right after it is its standard output. A
```console block is run command by command ("$ " lines), each followed by
its output. A block after a "<!-- not run -->" line is not run. README's
```cpp block is built against the build tree and run.

Run as a script (PYTHONPATH=build/python python3 tests/python/test_docs.py),
it prints the entry headings as the module has them, to refresh the
reference after a signature changes."""
import ast
import importlib.util
import inspect
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from typing import List, Optional

import pytest

import termcount

# The source folder: two up from here, or TERMCOUNT_SOURCE_DIR for a copy of
# the tests run against an installed module.
ROOT = os.environ.get("TERMCOUNT_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if not os.path.exists(os.path.join(ROOT, "docs", "python.md")):
    pytest.skip("no source folder with the docs (TERMCOUNT_SOURCE_DIR)", allow_module_level=True)
DOCS = ["README.md", os.path.join("docs", "python.md")]
REFERENCE = os.path.join(ROOT, "docs", "python.md")
NOT_RUN = "<!-- not run -->"

try:
    import termcount.dask  # noqa: F401 - the reference covers it when Dask is here
    HAVE_DASK = True
except ImportError:
    HAVE_DASK = False


@dataclass
class Block:
    doc: str                # the file, relative to the source folder
    line: int               # the line of the opening fence
    info: str               # the fence's info string: python, output, sh...
    text: str               # the content, the fence's indent removed
    run: bool               # False after a "not run" mark
    output: Optional[str]   # the ```output block right after it, if any

    @property
    def id(self):
        return f"{self.doc}:{self.line}"


def blocks(doc):
    """The fenced blocks of a Markdown file, in order."""
    lines = open(os.path.join(ROOT, doc), encoding="utf-8").read().split("\n")
    found, i = [], 0
    while i < len(lines):
        fence = re.match(r"^(\s*)```(\S*)\s*$", lines[i])
        if not fence:
            i += 1
            continue
        indent, start = len(fence[1]), i
        i += 1
        body = []
        while i < len(lines) and lines[i].strip() != "```":
            body.append(lines[i][indent:])
            i += 1
        run = start == 0 or lines[start - 1].strip() != NOT_RUN
        found.append(Block(doc, start + 1, fence[2], "\n".join(body) + "\n", run, None))
        i += 1
    for before, after in zip(found, found[1:]):
        if after.info == "output":
            before.output = after.text
    return found


def all_blocks(info):
    return [b for doc in DOCS for b in blocks(doc) if b.info == info]


# The reference's entries.

@dataclass
class Entry:
    name: str               # relative to the termcount package: "Terms.count"
    params: Optional[list]  # [(name, default or inspect.Parameter.empty)]; None: not a call
    bullets: List[str]      # the argument bullets of its section
    line: int


def parse_params(text):
    """[(name, default)] of a parameter list written as in a def."""
    args = ast.parse(f"def _({text}): pass").body[0].args
    every = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(every) - len(args.defaults)) + [
        ast.literal_eval(d) for d in args.defaults]
    params = [(a.arg, d) for a, d in zip(every, defaults)]
    params += [(a.arg, inspect.Parameter.empty if d is None else ast.literal_eval(d))
               for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return [p for p in params if p[0] not in ("self", "cls")]


def entries():
    lines = open(REFERENCE, encoding="utf-8").read().split("\n")
    found = []
    for i, line in enumerate(lines):
        head = re.match(r"^#{2,4} `([A-Za-z_][\w.]*)(?:\((.*)\))?`\s*$", line)
        if head:
            name = head[1][len("termcount."):] if head[1].startswith("termcount.") else head[1]
            params = None if head[2] is None else parse_params(head[2])
            found.append(Entry(name, params, [], i + 1))
        elif found and re.match(r"^#{1,4} ", line):
            found.append(None)  # a heading of another kind ends the entry
        elif found and found[-1] is not None:
            bullet = re.match(r"^- `(\w+)`:", line)
            if bullet:
                found[-1].bullets.append(bullet[1])
    return [e for e in found if e is not None]


def resolve(name):
    obj = termcount
    for part in name.split("."):
        obj = getattr(obj, part)
    return obj


def real_params(obj):
    """[(name, default)] of a callable, from its signature, or for a
    compiled class from the signature its docstring starts with."""
    try:
        sig = inspect.signature(obj)
    except ValueError:
        text = getattr(obj, "__text_signature__", None)
        assert text, f"{obj!r} has no signature: its docstring must start with one"
        return parse_params(text.strip()[1:-1])
    return [(p.name, p.default) for p in sig.parameters.values() if p.name not in ("self", "cls")]


def public_callables():
    """Every public callable of the modules, as the reference names them."""
    names = []
    modules = [(termcount, "")] + ([(termcount.dask, "dask.")] if HAVE_DASK else [])
    for module, prefix in modules:
        for name in module.__all__:
            obj = getattr(module, name)
            if not callable(obj):
                continue
            names.append(prefix + name)
            if inspect.isclass(obj):
                for member in dir(obj):
                    if member.startswith("_"):
                        continue
                    if isinstance(inspect.getattr_static(obj, member), property):
                        continue
                    names.append(f"{prefix}{name}.{member}")
    return names


ENTRIES = entries()


def test_reference_has_entries():
    assert len(ENTRIES) >= 15, ENTRIES


@pytest.mark.parametrize("entry", ENTRIES, ids=[e.name for e in ENTRIES])
def test_documented_name_exists_with_its_arguments(entry):
    if entry.name.startswith("dask.") and not HAVE_DASK:
        pytest.skip("no Dask")
    obj = resolve(entry.name)  # AttributeError: documented but gone
    if entry.params is None:
        assert not callable(obj) or inspect.isclass(obj), \
            f"line {entry.line}: {entry.name} is callable; give its parameters"
        assert entry.bullets == [], f"line {entry.line}: arguments of a name that takes none"
        return
    assert entry.params == real_params(obj), f"line {entry.line}: the signature differs"
    assert entry.bullets == [p for p, _ in entry.params], \
        f"line {entry.line}: one bullet per argument, in order"


@pytest.mark.parametrize("name", public_callables())
def test_public_callable_is_documented(name):
    assert name in {e.name for e in ENTRIES}, f"{name} has no entry in docs/python.md"


# The examples.

def missing_module(code):
    """The first module a block imports that this Python cannot find."""
    for names in re.findall(r"^\s*(?:import|from)\s+([\w., ]+?)(?:\s+import\b.*)?$", code, re.M):
        for name in names.split(","):
            top = name.strip().split(" ")[0].split(".")[0]
            if top and importlib.util.find_spec(top) is None:
                return top
    return None


def environment(**more):
    """This environment, with the termcount package under test first on
    Python's path wherever the example runs."""
    package = os.path.dirname(os.path.dirname(os.path.abspath(termcount.__file__)))
    path = os.pathsep.join(p for p in [package, os.environ.get("PYTHONPATH")] if p)
    return dict(os.environ, PYTHONPATH=path, **more)


@pytest.fixture
def folder(tmp_path):
    """A fresh folder with the bundled examples/ in it."""
    shutil.copytree(os.path.join(ROOT, "examples"), tmp_path / "examples")
    return tmp_path


PYTHON = [b for b in all_blocks("python") if b.run]


def test_docs_have_python_examples():
    assert len(PYTHON) >= 5


@pytest.mark.parametrize("block", PYTHON, ids=[b.id for b in PYTHON])
def test_python_example_runs_as_printed(block, folder):
    missing = missing_module(block.text)
    if missing:
        pytest.skip(f"no {missing}")
    script = folder / "example.py"
    script.write_text(block.text)
    done = subprocess.run([sys.executable, str(script)], cwd=folder, env=environment(),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    if block.output is not None:
        assert done.stdout == block.output


@pytest.fixture
def programs(termcount_bin, tmp_path):
    """A folder for the PATH with termcount, termcount-merge and python3 (the
    Python running the tests, which imports the module under test)."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    merge = os.path.join(os.path.dirname(termcount_bin), "termcount-merge")
    for name, target in [("termcount", termcount_bin), ("termcount-merge", merge),
                         ("python3", sys.executable)]:
        os.symlink(os.path.abspath(target), bin_dir / name)
    return str(bin_dir)


def sessions(block):
    """[(command, output)] of a console block."""
    pairs = []
    for line in block.text.rstrip("\n").split("\n"):
        if line.startswith("$ "):
            pairs.append([line[2:], ""])
        else:
            assert pairs, f"{block.id}: output before any command"
            pairs[-1][1] += line + "\n"
    return pairs


CONSOLE = [b for b in all_blocks("console") if b.run]


def test_docs_have_console_examples():
    assert len(CONSOLE) >= 3


@pytest.mark.parametrize("block", CONSOLE, ids=[b.id for b in CONSOLE])
def test_console_example_runs_as_printed(block, folder, programs):
    env = environment(PATH=programs + os.pathsep + os.environ["PATH"])
    for command, output in sessions(block):
        done = subprocess.run(["bash", "-c", "set -o pipefail; " + command], cwd=folder,
                              env=env, capture_output=True, timeout=120)
        assert done.returncode == 0, (command, done.stderr)
        assert done.stdout.decode() == output, command


# The quick start: two commands that share the build, the second the one
# continuous integration runs, the first counting a bundled example as shown.

BUILD = "cmake -S . -B build && cmake --build build -j2 && "
TESTS = "ctest --test-dir build --output-on-failure"


def quick_start():
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    section = text.split("\n## Quick start\n", 1)[1].split("\n## ", 1)[0]
    first = next(b for b in blocks("README.md") if b.info == "sh" and b.text.strip()
                 and b.text.strip().split("\n")[0] in section)
    return first


def test_quick_start_is_two_commands_the_second_ci_runs():
    block = quick_start()
    commands = block.text.strip().split("\n")
    assert len(commands) == 2, commands
    assert all(c.startswith(BUILD) for c in commands), commands
    assert commands[1] == BUILD + TESTS
    ci = open(os.path.join(ROOT, ".ci", "run"), encoding="utf-8").read()
    assert commands[1] in ci.split("\n")


def test_quick_start_counts_as_shown(termcount_bin):
    block = quick_start()
    run = block.text.strip().split("\n")[0][len(BUILD):]
    assert run.startswith("./build/termcount "), run
    assert block.output is not None, "the quick start shows what it prints"
    done = subprocess.run(["sh", "-c", run.replace("./build/termcount", '"$TC"', 1)], cwd=ROOT,
                          env=dict(os.environ, TC=os.path.abspath(termcount_bin)), capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == block.output


# The embedding example, built against the build tree's headers and
# libraries, as warning-free as the project's own code.
CXXFLAGS = ["-std=c++20", "-Wall", "-Wextra", "-Wpedantic", "-Werror"]


def build_flags(build):
    """CMAKE_CXX_FLAGS and CMAKE_EXE_LINKER_FLAGS of the build at `build`."""
    flags = []
    try:
        with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as cache:
            for line in cache:
                name, _, value = line.rstrip("\n").partition("=")
                if name.split(":")[0] in ("CMAKE_CXX_FLAGS", "CMAKE_EXE_LINKER_FLAGS"):
                    flags += value.split()
    except OSError:
        pass
    return flags


def test_embedding_example_counts_as_the_program(termcount_bin, folder):
    cpp = [b for b in blocks("README.md") if b.info == "cpp"]
    assert len(cpp) == 1
    build = os.path.dirname(os.path.abspath(termcount_bin))
    libs = [os.path.join(build, f"lib{name}.a") for name in ("termcount_count", "termcount")]
    include = os.path.join(build, "include")
    compiler = shutil.which(os.environ.get("CXX", "c++"))
    if compiler is None or not all(map(os.path.exists, libs + [include])):
        pytest.skip("no C++ compiler, or no libraries and headers beside TERMCOUNT_BIN")
    (folder / "app.cpp").write_text(cpp[0].text)
    # The libraries termcount.pc names after termcount's own, and the flags
    # the libraries were built with (a sanitizer's runtime, say).
    system = ["-lzstd", "-llzma", "-lbz2", "-lz", "-pthread"]
    built = subprocess.run([compiler, *CXXFLAGS, *build_flags(build), "-I", include, "app.cpp",
                            *libs, *system, "-o", "app"], cwd=folder, capture_output=True,
                           text=True, timeout=300)
    assert built.returncode == 0, built.stderr
    args = ["examples/terms.txt", "examples/app.log"]
    done = subprocess.run(["./app", *args], cwd=folder, capture_output=True, timeout=60)
    with open(folder / args[1], "rb") as text:
        want = subprocess.run([os.path.abspath(termcount_bin), args[0], "word"], cwd=folder, stdin=text,
                              capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == want.stdout != b""


def documented_options():
    """The options of docs/python.md's python3 -m termcount section."""
    text = open(REFERENCE, encoding="utf-8").read()
    section = text.split("\n## python3 -m termcount\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"^- `(--[\w-]+)", section, re.M)


def test_command_line_options_are_the_commands():
    documented = documented_options()
    assert documented, "no options in the python3 -m termcount section"
    done = subprocess.run([sys.executable, "-m", "termcount", "--help"], env=environment(),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    listed = re.findall(r"^\s+(--[\w-]+)", done.stdout, re.M)
    assert documented == listed


def headings():
    """The reference's entry headings as the module has them now, to paste
    into docs/python.md when a signature changes."""
    for name in public_callables():
        obj = resolve(name)
        shown = "termcount." + name if name.startswith("dask.") else name
        if inspect.isclass(obj) and not getattr(obj, "__text_signature__", None):
            try:
                inspect.signature(obj)
            except ValueError:  # a class of values the module makes
                print(f"### `{shown}`")
                continue
        params = ", ".join(p if d is inspect.Parameter.empty else f"{p}={d!r}"
                           for p, d in real_params(obj))
        print(f"### `{shown}({params})`".replace("'", '"'))


if __name__ == "__main__":
    headings()
