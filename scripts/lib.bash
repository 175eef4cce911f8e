# Sourced by the scripts in this folder: Debian packages on demand, the cache
# that outlives a clone, compiler caching, and quiet builds that show progress.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# A failure inside $(...) stops the script too: cache entries are made there.
shopt -s inherit_errexit

# Built third-party libraries, zig and its caches, ccache's store: kept on
# this machine between runs and between clones, outside every clone. Each
# entry is named by a digest of what went into it (versions, compiler,
# flags), so a stale one is never used; any of it may be deleted at any time,
# and the next run only takes longer. VARNOK_MELLIX_CACHE moves it.
cache_root=${VARNOK_MELLIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varnok-mellix}

sudo_cmd=()
((EUID == 0)) || sudo_cmd=(sudo)

# apt_require PACKAGE...: installs those of the Debian packages not installed.
# Waits for another apt or dpkg run to finish rather than failing on its lock.
apt_require() {
  local missing=() package
  for package; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  echo "setup: installing Debian packages: ${missing[*]}" >&2
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install \
    -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# deb_src_require: what `apt-get source` needs: dpkg-dev (which unpacks and
# patches a source package) and a deb-src entry for this Debian release.
deb_src_require() {
  apt_require dpkg-dev
  grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/ && return
  . /etc/os-release
  echo "setup: adding Debian source entries for $VERSION_CODENAME" >&2
  "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/varnok-mellix-deb-src.sources >/dev/null <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $VERSION_CODENAME $VERSION_CODENAME-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
}

# py_require REQUIREMENT...: installs into .venv (made first when missing)
# those of the Python requirements it does not meet. Looking them up in the
# installed metadata takes a fraction of a second; importing them would not.
py_require() {
  if [[ ! -x $repo/.venv/bin/python ]]; then
    echo "setup: creating .venv" >&2
    "${PYTHON:-python3}" -m venv "$repo/.venv"
    "$repo/.venv/bin/python" -m pip install -q --upgrade pip
  fi
  local missing
  # Any failure here (no packaging yet, say) counts every requirement unmet.
  missing=$("$repo/.venv/bin/python" -c '
import importlib.metadata as metadata
import sys
from packaging.requirements import Requirement
for text in sys.argv[1:]:
    requirement = Requirement(text)
    try:
        met = requirement.specifier.contains(metadata.version(requirement.name), prereleases=True)
    except metadata.PackageNotFoundError:
        met = False
    if not met:
        print(text)
' "$@" 2>/dev/null) || missing=$(printf '%s\n' "$@")
  [[ -n $missing ]] || return 0
  local unmet=()
  mapfile -t unmet <<<"$missing"
  echo "setup: installing Python tools: ${unmet[*]}" >&2
  "$repo/.venv/bin/python" -m pip install -q "${unmet[@]}"
}

# use_ccache: compiler caching for the CMake builds that follow, in the cache
# above. Paths are hashed relative to the clone and the working folder not at
# all, so that a clone in another folder hits what this one stored. Sets
# ccache_args, CMake's arguments for it.
use_ccache() {
  apt_require ccache
  export CCACHE_DIR=$cache_root/ccache CCACHE_BASEDIR=$repo CCACHE_NOHASHDIR=1
  ccache_args=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
}

# cache_key TEXT...: a short digest of everything that goes into an entry.
cache_key() {
  printf '%s\n' "$@" | sha256sum | cut -c1-16
}

# cache_entry NAME KEY BUILDER: the path of cache entry NAME-KEY, made first by
# `BUILDER DIR` when missing. The builder fills DIR, a scratch folder that
# becomes the entry only when it succeeds, so an interrupted build leaves no
# entry; a lock keeps two runs from building one entry at once.
cache_entry() {
  local name=$1 key=$2 builder=$3
  local entry=$cache_root/$name-$key
  if [[ ! -d $entry ]]; then
    mkdir -p "$cache_root"
    (
      flock 9
      if [[ ! -d $entry ]]; then
        rm -rf "$entry.partial"
        mkdir -p "$entry.partial"
        "$builder" "$entry.partial" >&2
        mv "$entry.partial" "$entry"
      fi
    ) 9>"$cache_root/.lock-$name"
  fi
  echo "$entry"
}

# quiet_build LOG LABEL COMMAND...: runs a build with its output in LOG and
# shows its progress from Ninja's "[n/m]" lines (one line updated in place on
# a terminal, a line a step elsewhere). On failure the log's end is shown.
# Callers run with pipefail, which carries the command's failure through.
quiet_build() {
  local log=$1 label=$2
  shift 2
  mkdir -p "$(dirname "$log")"
  if ! "$@" 2>&1 | tee "$log" | progress_lines "$label"; then
    echo "$label: failed; the end of its log ($log):" >&2
    tail -n 60 "$log" >&2
    return 1
  fi
}

progress_lines() {
  local label=$1 line step what
  while IFS= read -r line; do
    [[ $line =~ ^[[:space:]]*\[([0-9]+/[0-9]+)\]\ (.*)$ ]] || continue
    step=${BASH_REMATCH[1]}
    what=${BASH_REMATCH[2]##* }
    what=${what/CMakeFiles\/*.dir\//}
    what=${what%.o}
    if [[ -t 1 ]]; then
      printf '\r\033[K%s: [%s] %.60s' "$label" "$step" "$what"
    else
      printf '%s: [%s] %s\n' "$label" "$step" "$what"
    fi
  done
  [[ -t 1 ]] && printf '\r\033[K'
  return 0
}

# asan_tree: builds build/asan, the one clang-19 tree with AddressSanitizer
# and UBSan: the C++ unit tests, the libFuzzer targets (the libraries
# instrumented for their coverage) and the extension module, all over one
# compile of the libraries. scripts/test-sanitizers and scripts/fuzz share it.
asan_tree() {
  # clang 19 is the first of Debian's that compiles std::expected from GCC
  # 12's library.
  apt_require clang-19 libclang-rt-19-dev
  use_ccache
  cmake -S "$repo" -B "$repo/build/asan" -G Ninja -DCMAKE_CXX_COMPILER=clang++-19 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMELLIX_WERROR=ON -DMELLIX_SANITIZE=address,undefined \
    -DMELLIX_BUILD_TESTS=ON -DMELLIX_BUILD_FUZZ=ON -DMELLIX_BUILD_PYTHON=ON \
    -DPython_EXECUTABLE="$repo/.venv/bin/python" "${ccache_args[@]}" >/dev/null
  quiet_build "$repo/build/asan.log" asan cmake --build "$repo/build/asan"
}
