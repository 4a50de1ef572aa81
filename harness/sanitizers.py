"""Sanitizer settings and reports, in one place: the run-time options of the
core tests (ASan+UBSan, TSan) and of the sanitized module, the runtimes to
preload into an uninstrumented interpreter, and the reading of the reports
they leave. Compile-time flags live in cmake/flags.cmake."""

from __future__ import annotations

import ctypes
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

from . import config, knobs

LSAN_SUPPRESSIONS = config.REPO / "tests" / "fuzz" / "lsan.supp"
# Races inside a ThreadSanitizer build of the free-threaded interpreter
# itself, each with its reason.
TSAN_SUPPRESSIONS = config.REPO / "tests" / "python" / "tsan.supp"

_UBSAN = {"print_stacktrace": "1", "halt_on_error": "1"}
_ASAN = {"strict_string_checks": "1", "detect_stack_use_after_return": "1"}
# The sanitized module also checks initialisation order and stops at the
# first report; leaks are checked when the interpreter's symbols allow it.
_ASAN_MODULE = {**_ASAN, "halt_on_error": "1", "check_initialization_order": "1", "strict_init_order": "1"}
_TSAN = {"halt_on_error": "0", "second_deadlock_stack": "1"}
# The module's runs also leave out thread leaks: CPython never joins daemon
# threads, and tests leave some running at exit on purpose.
_TSAN_MODULE = {**_TSAN, "report_thread_leaks": "0"}
# What ThreadSanitizer costs the suite on the threaded run: 32 threads of
# test_threads.py on 2 CPUs take several minutes there.
TSAN_SLOWDOWN = "10"
# Tests that hold only with the interpreter's usual allocator (an RLIMIT_AS,
# an exhausted allocator) carry this marker; a sanitizer's shadow memory and
# allocator defeat them, so sanitized runs select the others.
WITHOUT_PLAIN_ALLOCATOR_TESTS = ("-m", "not plain_allocator")


def _options(opts: dict[str, str]) -> str:
    return ":".join(f"{k}={v}" for k, v in opts.items())


def core_env(variant: str) -> dict[str, str]:
    """Environment of the core test binary; variant "asan" (ASan+UBSan) or "tsan"."""
    if variant == "tsan":
        return {"TSAN_OPTIONS": _options(_TSAN)}
    if variant == "asan":
        return {"ASAN_OPTIONS": _options(_ASAN), "UBSAN_OPTIONS": _options(_UBSAN)}
    raise ValueError(f"unknown sanitizer variant {variant!r}")


def runtimes(compiler: str = "g++") -> list[str]:
    """The ASan and UBSan runtimes the compiler links against, to preload
    into an interpreter that was not built with them."""
    found = []
    for lib in ("libasan.so", "libubsan.so"):
        path = subprocess.run([compiler, f"-print-file-name={lib}"], capture_output=True, text=True).stdout.strip()
        if os.path.isabs(path) and os.path.exists(path):
            found.append(path)
    return found


def module_env(reports: Path, leaks: bool, preload: list[str]) -> dict[str, str]:
    """Environment of an interpreter running the sanitized module. Every
    Python object goes through malloc (PYTHONMALLOC=malloc) so ASan sees an
    object used after the module let go of it and LeakSanitizer can follow
    pointers held in Python objects; reports go to one file per process."""
    return {
        "LD_PRELOAD": " ".join(preload),
        "PYTHONMALLOC": "malloc",
        "ASAN_OPTIONS": _options(
            {**_ASAN_MODULE, "detect_leaks": "1" if leaks else "0", "log_path": str(reports / "asan")}
        ),
        "LSAN_OPTIONS": f"suppressions={LSAN_SUPPRESSIONS}",
        "UBSAN_OPTIONS": _options({**_UBSAN, "log_path": str(reports / "ubsan")}),
    }


def module_tsan_env(reports: str, suppressions: str) -> dict[str, str]:
    """Environment of a ThreadSanitizer interpreter running the module built
    with -fsanitize=thread: every report, of every process, in a file
    under `reports` (paths as the interpreter sees them)."""
    return {
        "TSAN_OPTIONS": _options({**_TSAN_MODULE, "log_path": f"{reports}/tsan", "suppressions": suppressions}),
        # The tests' hang deadlines (tests/python/support.py).
        knobs.SLOWDOWN.name: TSAN_SLOWDOWN,
    }


def suppressions_are_safe(path: Path | None = None) -> bool:
    """A suppression that could match jadefox's own frames (or a whole
    library) would hide our faults: any matching frame silences a report."""
    bad = re.compile(
        r"jade|core/|module/|libpython|python3|(leak|race|thread|mutex|signal|deadlock"
        r"|called_from_lib):\*?$",
        re.I,
    )
    for line in (path or LSAN_SUPPRESSIONS).read_text().splitlines():
        line = line.strip()
        if line and not line.startswith("#") and bad.search(line):
            return False
    return True


@dataclass
class Finding:
    kind: str  # "AddressSanitizer", "UndefinedBehaviorSanitizer", "leak in jadefox code", ...
    file: str
    head: str
    frames: list[str]

    def __str__(self) -> str:
        return "\n".join(
            [f"{self.kind} ({self.file}): {self.head.strip()}", *("    " + f.strip() for f in self.frames[:14])]
        )


_FRAME = re.compile(r"\s+#\d+ ")


def scan_reports(directory: Path) -> list[Finding]:
    """Every report in the sanitizer log files of `directory`: one per
    AddressSanitizer or UBSan error, one per leak that survived the
    suppressions (labelled by whether any frame is jadefox's)."""
    found = []
    for path in sorted(p for p in directory.glob("*") if p.is_file()):
        text = path.read_text(errors="replace")
        for block in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text)[1:]:
            block = block.split("\nSUMMARY:")[0].split("\n\n")[0]
            frames = [line for line in block.splitlines()[1:] if line.lstrip().startswith("#")]
            where = "in jadefox code" if any("jadefox" in f for f in frames) else "outside jadefox code"
            found.append(Finding(f"leak {where}", path.name, block.splitlines()[0], frames))
        for m in re.finditer(r"^==\d+==ERROR: AddressSanitizer: .*$", text, re.M):
            rest = text[m.end() :].split("\nSUMMARY:")[0]
            found.append(
                Finding(
                    "AddressSanitizer",
                    path.name,
                    m.group(0),
                    [line for line in rest.splitlines() if _FRAME.match(line)],
                )
            )
        for m in re.finditer(r"^.*runtime error: .*$", text, re.M):
            frames = [line for line in text[m.end() :].splitlines()[1:40] if _FRAME.match(line)]
            found.append(Finding("UndefinedBehaviorSanitizer", path.name, m.group(0), frames))
        for m in re.finditer(r"^==\d+==ERROR: ThreadSanitizer: .*$", text, re.M):
            found.append(Finding("ThreadSanitizer error", path.name, m.group(0), []))
        for m in re.finditer(r"^WARNING: ThreadSanitizer: .*$", text, re.M):
            rest = text[m.end() :].split("\nSUMMARY:")[0]
            found.append(
                Finding(
                    "ThreadSanitizer", path.name, m.group(0), [line for line in rest.splitlines() if _FRAME.match(line)]
                )
            )
    return found


class _DlInfo(ctypes.Structure):
    _fields_ = [
        ("fname", ctypes.c_char_p),
        ("fbase", ctypes.c_void_p),
        ("sname", ctypes.c_char_p),
        ("saddr", ctypes.c_void_p),
    ]


def interpreter_code_file() -> str:
    """The file holding the running interpreter's own code: its shared
    libpython, or else its executable."""
    info = _DlInfo()
    addr = ctypes.cast(ctypes.pythonapi.PyUnicode_New, ctypes.c_void_p)
    name = ""
    if ctypes.CDLL(None).dladdr(addr, ctypes.byref(info)) and info.fname:
        name = info.fname.decode()
    return os.path.realpath(name if "libpython" in os.path.basename(name) else sys.executable)


def has_symbol_table(python: Path) -> bool:
    """Whether `python`'s code carries a symbol table. LeakSanitizer's
    suppressions name the interpreter's own exit-time leaks by function, so
    on a stripped interpreter (a distribution's) leak checking is off."""
    code_file = subprocess.run(
        [str(python), "-c", "from harness.sanitizers import interpreter_code_file as f; print(f())"],
        capture_output=True,
        text=True,
        cwd=config.REPO,
    ).stdout.strip()
    sections = subprocess.run(["readelf", "-S", code_file], capture_output=True, text=True).stdout
    return ".symtab" in sections
