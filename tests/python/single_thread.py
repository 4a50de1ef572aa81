"""Marks for the tests that pytest-run-parallel must run on one thread.

With the plugin (`-p run-parallel --parallel-threads=N`) every other test runs
on N threads at once in one process; these cannot, each for the reason given
(the plugin prints the reasons with -v). Without the plugin the marker does
nothing. Kept apart from support.py, which child processes import, so that
they need not import pytest."""

import pytest


def single_thread(reason: str):
    return pytest.mark.thread_unsafe(reason=reason)


CHILD_PROCESSES = single_thread("its work runs in child processes: threads would only multiply the processes")
FAULT_INJECTION = single_thread("injects allocation failures or limits memory, which hits every thread of a process")
REDIRECTS_STDERR = single_thread(
    "redirects the process's standard error (fd 2 and sys.stderr); two threads doing so at once can leave it redirected"
)
CAPTURES_STDERR = single_thread("reads what the process wrote to fd 2, which the other threads write to as well")
MEASURES_MEMORY = single_thread(
    "measures the process's memory (allocated blocks, RSS, tracemalloc), which the other threads change"
)
COLLECTS_GARBAGE = single_thread("collects garbage to see objects freed; a collection is process-wide")
SHARED_REFCOUNTS = single_thread("counts references to objects every thread uses (the class, the pickle reducer)")
CHANGES_CLASS = single_thread("changes the JadeDict class, which every thread uses")
CHANGES_SYS_MODULES = single_thread("removes jadefox from sys.modules, where the other threads import it from")
REPLACES_STDOUT = single_thread("runs a doctest, whose runner replaces sys.stdout for the whole process")
REPLACES_HOOK = single_thread("replaces sys.unraisablehook for the whole process")
SWITCH_INTERVAL = single_thread("changes sys.setswitchinterval for the whole process")
