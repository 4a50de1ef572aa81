# shellcheck shell=bash
# Helpers shared by scripts/test-all and scripts/quickstart. Source it; it
# defines functions and variables only (all prefixed jf_ / JF_).

JF_REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JF_MIN_MINOR=12   # oldest CPython 3.x we build for
JF_MAX_MINOR=20

jf_say() { printf '%s\n' "$@"; }  # one line per argument
jf_warn() { printf 'warning: %s\n' "$*" >&2; }

# Seconds since the epoch with sub-second resolution (bash >= 5).
jf_now() { printf '%s' "${EPOCHREALTIME:-$(date +%s)}"; }
jf_elapsed() { awk -v a="$1" -v b="$(jf_now)" 'BEGIN { printf "%.1fs", b - a }'; }

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
