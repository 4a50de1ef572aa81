"""Sanitizer reports are found and attributed; settings stay consistent."""

from harness import sanitizers

ASAN_LOG = """==123==ERROR: AddressSanitizer: heap-use-after-free on address 0x1
    #0 0x7f in jadefox::py::get_item module/accessors.cpp:30
    #1 0x7f in _PyEval_EvalFrameDefault
SUMMARY: AddressSanitizer: heap-use-after-free module/accessors.cpp:30
"""
LEAK_LOG = """==9==ERROR: LeakSanitizer: detected memory leaks

Direct leak of 16 byte(s) in 1 object(s) allocated from:
    #0 0x1 in malloc
    #1 0x2 in jadefox::KeyIndex::build core/key_index.cpp:40

Indirect leak of 8 byte(s) in 1 object(s) allocated from:
    #0 0x1 in malloc
    #1 0x3 in PyUnicode_New

SUMMARY: AddressSanitizer: 24 byte(s) leaked in 2 allocation(s).
"""
UBSAN_LOG = """module/convert.cpp:12:5: runtime error: signed integer overflow
    #0 0x1 in jadefox::py::extract_float module/convert.cpp:12
"""
TSAN_LOG = """WARNING: ThreadSanitizer: data race (pid=1)
  Write of size 8 at 0x1 by thread T1:
    #0 jadefox::Shared::release core/shared.h:50
SUMMARY: ThreadSanitizer: data race core/shared.h:50
"""
TSAN_ERROR_LOG = """==22659==ERROR: ThreadSanitizer: out of memory: allocator is trying to allocate 0x100000 bytes
"""


def test_every_report_is_found_and_leaks_are_attributed(tmp_path):
    for name, text in [
        ("asan.1", ASAN_LOG),
        ("asan.2", LEAK_LOG),
        ("ubsan.3", UBSAN_LOG),
        ("tsan.4", TSAN_LOG),
        ("tsan.5", TSAN_ERROR_LOG),
    ]:
        (tmp_path / name).write_text(text)
    found = sanitizers.scan_reports(tmp_path)
    kinds = sorted(f.kind for f in found)
    assert kinds == [
        "AddressSanitizer",
        "ThreadSanitizer",
        "ThreadSanitizer error",
        "UndefinedBehaviorSanitizer",
        "leak in jadefox code",
        "leak outside jadefox code",
    ]
    asan = next(f for f in found if f.kind == "AddressSanitizer")
    assert "get_item" in asan.frames[0] and "heap-use-after-free" in str(asan)


def test_clean_logs_report_nothing(tmp_path):
    (tmp_path / "asan.1").write_text("nothing to see\n")
    assert sanitizers.scan_reports(tmp_path) == []


def test_suppressions_never_name_our_code(tmp_path, monkeypatch):
    assert sanitizers.suppressions_are_safe()
    assert sanitizers.suppressions_are_safe(sanitizers.TSAN_SUPPRESSIONS)
    supp = tmp_path / "s.supp"
    for bad in (
        "leak:jadefox::KeyIndex",
        "leak:libpython3.13.so",
        "leak:*",
        "race:*",
        "race:JadeDict_add",
        "called_from_lib:libpython3.13t.so.1.0",
        "race:core/key_index.hpp",
    ):
        supp.write_text(f"# ours\nleak:_PyUnicode_InternInPlace\nrace:_PyMem_FreeDelayed\n{bad}\n")
        monkeypatch.setattr(sanitizers, "LSAN_SUPPRESSIONS", supp)
        assert not sanitizers.suppressions_are_safe(), bad
        assert not sanitizers.suppressions_are_safe(supp), bad


def test_module_env_routes_reports_and_leak_checking(tmp_path):
    env = sanitizers.module_env(tmp_path, leaks=False, preload=["/x/libasan.so", "/x/libubsan.so"])
    assert env["LD_PRELOAD"] == "/x/libasan.so /x/libubsan.so"
    assert "detect_leaks=0" in env["ASAN_OPTIONS"]
    assert f"log_path={tmp_path}/asan" in env["ASAN_OPTIONS"]
    assert f"log_path={tmp_path}/ubsan" in env["UBSAN_OPTIONS"]
    assert env["PYTHONMALLOC"] == "malloc"
    assert "detect_leaks=1" in sanitizers.module_env(tmp_path, True, [])["ASAN_OPTIONS"]
    assert set(sanitizers.core_env("tsan")) == {"TSAN_OPTIONS"}


def test_the_modules_tsan_runs_report_to_files_with_the_suppressions():
    options = dict(
        o.split("=", 1)
        for o in sanitizers.module_tsan_env("/jobs/r", "/src/tests/python/tsan.supp")["TSAN_OPTIONS"].split(":")
    )
    assert options["log_path"] == "/jobs/r/tsan" and options["suppressions"] == "/src/tests/python/tsan.supp"
    # Daemon threads are never joined; every other report counts.
    assert options["report_thread_leaks"] == "0" and options["halt_on_error"] == "0"
    assert "report_bugs" not in options
