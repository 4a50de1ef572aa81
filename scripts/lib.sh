# shellcheck shell=bash
# Helpers shared by every script in scripts/. Source it; it defines functions
# and variables only (all prefixed jf_ / JF_), apart from the counters
# TOTAL_PASSED and TOTAL_FAILED that jf_fail_step and jf_summary use.

JF_REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JF_MIN_MINOR=12   # oldest CPython 3.x we build for
JF_MAX_MINOR=20
# The cached Debian roots of scripts/platforms (also used by scripts/release).
JF_ROOTS="${JADEFOX_ROOTS:-/var/cache/jadefox/roots}"

jf_say() { printf '%s\n' "$@"; }  # one line per argument
jf_warn() { printf 'warning: %s\n' "$*" >&2; }

# Seconds since the epoch with sub-second resolution (bash >= 5).
jf_now() { printf '%s' "${EPOCHREALTIME:-$(date +%s)}"; }
jf_elapsed() { awk -v a="$1" -v b="$(jf_now)" 'BEGIN { printf "%.1fs", b - a }'; }

# jf_stage NAME: starts a timed stage (closing the previous one);
# jf_stage_done closes the current one, printing how long it took.
JF_STAGE_NAME="" JF_STAGE_START=""
jf_stage() {
  jf_stage_done
  JF_STAGE_NAME="$1" JF_STAGE_START="$(jf_now)"
  jf_say "" "=== $1"
}
jf_stage_done() {
  if [[ -n "$JF_STAGE_NAME" ]]; then
    jf_say "--- $JF_STAGE_NAME took $(jf_elapsed "$JF_STAGE_START")"
  fi
  JF_STAGE_NAME=""
}

# jf_fail_step MSG...: anything that is not a test result but stops tests
# from running (a failed build, a crashed runner, a runner that found no
# tests) counts as one failure, so the closing line and the exit status
# always agree.
TOTAL_PASSED="${TOTAL_PASSED:-0}" TOTAL_FAILED="${TOTAL_FAILED:-0}"
jf_fail_step() {
  TOTAL_FAILED=$((TOTAL_FAILED + 1))
  jf_say "FAILED: $*"
}

# jf_show_log FILE [LINES]: the end of a log (default 60 lines), for a step
# that failed quietly.
jf_show_log() {
  jf_say "----- last lines of $1 -----"
  tail -n "${2:-60}" "$1" || true
  jf_say "----- end of $1 -----"
}

# jf_retry WHAT CMD...: runs CMD up to 3 times with a growing pause
# (JF_RETRY_PAUSE seconds, default 15, times the attempt), because mirrors
# and networks flake.
jf_retry() {
  local what="$1" try
  shift
  for try in 1 2 3; do
    "$@" && return 0
    jf_warn "$what failed (attempt $try of 3)"
    ((try < 3)) && sleep $((try * ${JF_RETRY_PAUSE:-15}))
  done
  return 1
}

# jf_apt_install PKG...: installs Debian packages (apt-get update, then
# install without recommends), retried; through sudo -n when not root.
jf_apt_install() {
  local sudo=()
  if ((EUID != 0)); then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
      sudo=(sudo -n)
    else
      jf_say "error: missing $*; install them (apt-get install $*) or run as root" >&2
      return 1
    fi
  fi
  jf_say "installing Debian packages: $* (apt-get${sudo:+ through sudo -n})"
  jf_retry "apt-get install $*" jf_apt_install_once "$@"
}
# One attempt; sees jf_apt_install's local sudo (bash scoping is dynamic).
jf_apt_install_once() {
  "${sudo[@]}" apt-get update -q \
    && "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
         apt-get install -y -q --no-install-recommends "$@"
}

# jf_pytest_result LABEL XML RC [PYTHON [EXPLAINED]]: books one pytest run
# that exited with RC and wrote the JUnit file XML (read with PYTHON, default
# python3): adds its counts to the totals and sets JF_COUNTS for the summary
# line. A timeout, a run without tests, and a non-zero exit with no failed
# test (a crash), each count as one failed step; EXPLAINED > 0 says the caller
# has already counted the failures behind a non-zero exit (sanitizer reports).
jf_pytest_result() {
  local label="$1" xml="$2" rc="$3" py="${4:-python3}" explained="${5:-0}"
  local passed=0 failed=0 skipped=0 counts
  if [[ -s "$xml" ]] && counts="$("$py" "$JF_REPO/scripts/junit_counts.py" "$xml")"; then
    read -r passed failed skipped <<<"$counts"
  fi
  TOTAL_PASSED=$((TOTAL_PASSED + passed))
  TOTAL_FAILED=$((TOTAL_FAILED + failed))
  JF_COUNTS="pytest $passed passed / $failed failed / $skipped skipped"
  if ((rc == 124 || rc == 137)); then
    jf_fail_step "$label: pytest timed out"
    JF_COUNTS+=" (TIMED OUT)"
  elif ((rc == 5 || (rc == 0 && passed + failed == 0))); then
    jf_fail_step "$label: pytest ran no test (exit $rc)"
    JF_COUNTS+=" (NO TESTS RAN)"
  elif ((rc != 0 && failed == 0 && explained == 0)); then
    # Crashed (e.g. a segfault in the extension) or could not start.
    jf_fail_step "$label: pytest exited with status $rc"
    JF_COUNTS+=" (pytest exit $rc)"
  fi
}

# jf_doctest_result LABEL LOG RC: books one run of a doctest binary that
# exited with RC and wrote LOG, like jf_pytest_result (sets JF_COUNTS).
jf_doctest_result() {
  local label="$1" log="$2" rc="$3" passed=0 failed=0 m
  m="$(grep -E '^\[doctest\] test cases:' "$log" | tail -n 1 || true)"
  if [[ "$m" =~ ([0-9]+)\ passed.*\|\ *([0-9]+)\ failed ]]; then
    passed="${BASH_REMATCH[1]}" failed="${BASH_REMATCH[2]}"
  fi
  TOTAL_PASSED=$((TOTAL_PASSED + passed))
  TOTAL_FAILED=$((TOTAL_FAILED + failed))
  JF_COUNTS="$passed passed / $failed failed"
  if [[ -z "$m" ]]; then
    # No summary: a sanitizer or a crash killed the run before doctest finished.
    jf_fail_step "$label: test binary died (exit $rc) before reporting"
    JF_COUNTS+=" (CRASHED, exit $rc)"
  elif ((rc != 0 && failed == 0)); then
    # All cases passed but the process failed, e.g. LeakSanitizer at exit.
    jf_fail_step "$label: test binary exited with status $rc"
    JF_COUNTS+=" (exit $rc)"
  elif ((passed + failed == 0)); then
    jf_fail_step "$label: no test case ran"
    JF_COUNTS+=" (NO TESTS)"
  fi
}

# jf_check LABEL RC: books one check that is not a test runner (a type
# check, a script that must succeed) that exited with RC: one passed test, or
# one failed step. Sets JF_COUNTS to "ok" or "FAILED (exit RC)".
jf_check() {
  if (($2 == 0)); then
    TOTAL_PASSED=$((TOTAL_PASSED + 1))
    JF_COUNTS="ok"
  else
    jf_fail_step "$1 (exit $2)"
    JF_COUNTS="FAILED (exit $2)"
  fi
}

# jf_counted_run LABEL LOG CMD...: runs CMD, a script that ends with the line
# "N passed, N failed", showing its output and keeping it in LOG; its counts
# join the totals and JF_COUNTS says them for the summary line. A script that
# dies before that line, or fails without a failed test, counts as one failed
# step.
jf_counted_run() {
  local label="$1" log="$2" rc=0
  shift 2
  "$@" 2>&1 | tee "$log" || rc=$?
  if [[ "$(tail -n 1 "$log")" =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    TOTAL_PASSED=$((TOTAL_PASSED + BASH_REMATCH[1]))
    TOTAL_FAILED=$((TOTAL_FAILED + BASH_REMATCH[2]))
    JF_COUNTS="${BASH_REMATCH[1]} passed / ${BASH_REMATCH[2]} failed"
    if ((rc != 0 && BASH_REMATCH[2] == 0)); then
      jf_fail_step "$label: exited with status $rc"
      JF_COUNTS+=" (exit $rc)"
    fi
  else
    jf_fail_step "$label: died before reporting (exit $rc)"
    JF_COUNTS="CRASHED (exit $rc)"
  fi
}

# jf_summary TITLE LINE...: prints the closing summary and the final line
# "N passed, N failed"; sets JF_STATUS to 1 when anything failed or no test
# ran at all, else 0.
jf_summary() {
  local title="$1" line
  shift
  jf_say "" "=== $title"
  for line in "$@"; do
    jf_say "  $line"
  done
  JF_STATUS=0
  if ((TOTAL_PASSED + TOTAL_FAILED == 0)); then
    jf_say "  no test ran at all"
    JF_STATUS=1
  fi
  ((TOTAL_FAILED == 0)) || JF_STATUS=1
  jf_say "$TOTAL_PASSED passed, $TOTAL_FAILED failed"
}

# Prints one line per candidate path; duplicates are fine, jf_find_pythons
# dedupes them.
jf_python_candidates() {
  local dir n suffix f dirs
  # Version-manager shim directories are skipped: a pyenv shim for python3.12
  # exists even when no 3.12 is selected, and then only prints
  # "command not found". The real interpreters behind them are listed below.
  IFS=: read -ra dirs <<<"$PATH"
  for dir in "${dirs[@]}"; do
    [[ -z "$dir" || "$dir" == */shims ]] && continue
    for ((n = JF_MIN_MINOR; n <= JF_MAX_MINOR; n++)); do
      for suffix in "" t; do
        f="$dir/python3.$n$suffix"
        [[ -x "$f" && ! -d "$f" ]] && printf '%s\n' "$f"
      done
    done
  done
  local pyenv_root
  pyenv_root="$(pyenv root 2>/dev/null || echo "${HOME:-/root}/.pyenv")"
  for f in "$pyenv_root"/versions/*/bin/python3* /usr/bin/python3* \
           /usr/local/bin/python3* /opt/*/bin/python3*; do
    # Only interpreters: not python3-config, python3.13-gdb.py and friends.
    [[ "$(basename "$f")" =~ ^python3(\.[0-9]+t?)?$ && -x "$f" && ! -d "$f" ]] \
      && printf '%s\n' "$f"
  done
  return 0
}

# Fills JF_PY_PATH, JF_PY_TAG (cp312, cp313t, ...) and JF_PY_VERSION, oldest
# first, one entry per (version, free-threaded or not). Returns 1 when none is
# usable, after explaining why on stderr.
jf_find_pythons() {
  JF_PY_PATH=() JF_PY_TAG=() JF_PY_VERSION=()
  local probe='
import os, sys, sysconfig
ok = sys.implementation.name == "cpython"
ft = 1 if sysconfig.get_config_var("Py_GIL_DISABLED") else 0
hdr = 1 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 0
print(ok, sys.version_info[0], sys.version_info[1], ft, hdr,
      "%d.%d.%d" % sys.version_info[:3], os.path.realpath(sys.executable))
'
  local cand out ok major minor ft hdr ver real key
  local -A seen_real=() seen_key=()
  local rows=() no_headers=()
  while IFS= read -r cand; do
    # Run it for real: a file named python3.x may still be a broken shim.
    out="$(timeout 30 "$cand" -I -c "$probe" 2>/dev/null)" || continue
    read -r ok major minor ft hdr ver real <<<"$out"
    [[ "$ok" == True && "$major" == 3 && "$minor" -ge $JF_MIN_MINOR ]] || continue
    [[ -n "${seen_real[$real]:-}" ]] && continue
    seen_real[$real]=1
    if [[ "$hdr" != 1 ]]; then
      no_headers+=("$cand ($ver)")
      continue
    fi
    # Listed by real path: .../bin/python3 and .../bin/python3.12 are one
    # interpreter, and the versioned name says which one it is.
    key="$minor.$ft"
    [[ -n "${seen_key[$key]:-}" ]] && continue
    seen_key[$key]=1
    rows+=("$(printf '%03d\t%d\t%s\t%s' "$minor" "$ft" "$ver" "$real")")
  done < <(jf_python_candidates)

  if ((${#no_headers[@]})); then
    for cand in "${no_headers[@]}"; do
      jf_warn "skipping $cand: Python.h missing (install its -dev package)"
    done
  fi
  if ((${#rows[@]} == 0)); then
    printf '%s\n' "error: no CPython >= 3.$JF_MIN_MINOR found; install python3.$JF_MIN_MINOR or newer (and its -dev headers)" >&2
    return 1
  fi

  while IFS=$'\t' read -r minor ft ver cand; do
    JF_PY_PATH+=("$cand")
    JF_PY_VERSION+=("$ver")
    JF_PY_TAG+=("cp3$((10#$minor))$([[ $ft == 1 ]] && echo t)")
  done < <(printf '%s\n' "${rows[@]}" | sort)
  return 0
}

# jf_ensure_venv PYTHON TAG: makes (or reuses) .venv/TAG in the repo and sets
# JF_VENV to it. A venv whose interpreter no longer runs, or runs a different
# version, is rebuilt.
jf_ensure_venv() {
  local py="$1" tag="$2"
  JF_VENV="$JF_REPO/.venv/$tag"
  local want have
  want="$("$py" -c 'import sys; print(sys.version)')"
  have="$("$JF_VENV/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null || true)"
  if [[ -n "$have" && "$have" == "$want" ]]; then
    return 0
  fi
  rm -rf "$JF_VENV"
  if ! "$py" -m venv "$JF_VENV"; then
    jf_warn "could not create a venv with $py (Debian: install python3.X-venv)"
    return 1
  fi
}

# What every test venv holds besides jadefox: the test runners, the type
# checker, and the build backend with its cmake and ninja (Debian's cmake can
# be too old for the build).
JF_TEST_TOOLS=(pytest hypothesis mypy scikit-build-core ninja cmake)

# jf_test_venv PYTHON TAG LOG [PACKAGE...]: jf_ensure_venv, then the test
# tools and any further packages installed into it, pip's output in LOG
# (shown when it fails); sets JF_VENV.
jf_test_venv() {
  local rc=0
  jf_ensure_venv "$1" "$2" || return 1
  "$JF_VENV/bin/python" -m pip install --retries 5 -q "${JF_TEST_TOOLS[@]}" "${@:4}" >"$3" 2>&1 || rc=$?
  ((rc == 0)) || jf_show_log "$3" 80
  return "$rc"
}
