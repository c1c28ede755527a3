# Shared by the scripts in this folder; source it, do not run it.
# Sets: repo (the repository root), shared_dir (the shared tools and fixtures,
# possibly empty), jobs (parallel build jobs).

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The shared folder (PST judge and fixtures, needed by the tests only):
# $ORVANDEL_SHARED_DIR, else ../shared beside the repository. Empty when neither exists.
locate_shared_dir() {
  local candidate
  for candidate in "${ORVANDEL_SHARED_DIR:-}" "$repo/../shared"; do
    if [ -n "$candidate" ] && [ -d "$candidate" ]; then
      (cd "$candidate" && pwd)
      return 0
    fi
  done
  echo ""
}
shared_dir=$(locate_shared_dir)

jobs=${ORVANDEL_JOBS:-2}

# Configures build/ (Ninja) and builds.
# Usage: configure_and_build [CMAKE_ARG...] [-- TARGET...]  (no target: everything)
configure_and_build() {
  local args=(-S "$repo" -B "$repo/build" -G Ninja)
  local targets=()
  while [ $# -gt 0 ]; do
    if [ "$1" = "--" ]; then shift; targets=("$@"); break; fi
    args+=("$1"); shift
  done
  # A compiler cache, where one is installed, makes rebuilds of unchanged files free.
  if command -v ccache >/dev/null 2>&1; then
    args+=("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache" "-DCMAKE_C_COMPILER_LAUNCHER=ccache")
  fi
  if [ -n "$shared_dir" ]; then
    args+=("-DORVANDEL_SHARED_DIR=$shared_dir")
  fi
  if [ -f "$repo/build/CMakeCache.txt" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$repo/build/CMakeCache.txt"; then
    echo "error: $repo/build was configured with another generator; remove it and run again" >&2
    return 1
  fi
  mkdir -p "$repo/build"
  cmake "${args[@]}" >"$repo/build/.configure.log" 2>&1 || {
    cat "$repo/build/.configure.log" >&2
    return 1
  }
  if [ ${#targets[@]} -gt 0 ]; then
    cmake --build "$repo/build" -j "$jobs" --target "${targets[@]}"
  else
    cmake --build "$repo/build" -j "$jobs"
  fi
}

# Says, once and clearly, that the tests cannot run without the shared folder.
# Returns non-zero when it is missing.
require_shared_dir() {
  if [ -n "$shared_dir" ] && [ -x "$shared_dir/tools/pst-inspect" ] && [ -d "$shared_dir/fixtures" ]; then
    return 0
  fi
  echo "error: the tests need the shared folder (tools/pst-inspect and fixtures/), found neither at" >&2
  echo "       \$ORVANDEL_SHARED_DIR (${ORVANDEL_SHARED_DIR:-not set}) nor at $repo/../shared." >&2
  echo "       Put it beside the repository as ../shared, or set ORVANDEL_SHARED_DIR to it." >&2
  return 1
}
