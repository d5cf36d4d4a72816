# Shared by the benchmark scripts: a release testing build, a generated
# host, and wall-clock timing. Benchmarks are never part of the test suite.
set -euo pipefail
bench_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_build=${KXFS_BENCH_BUILD:-$bench_top/build/bench}

# Builds the tools, the host simulator and the generator once.
bench_prepare() {
  "$bench_top/scripts/setup" >/dev/null
  if [ ! -f "$bench_build/build.ninja" ]; then
    cmake -S "$bench_top" -B "$bench_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DKXFS_TESTING=ON -DKXFS_BENCH=ON >/dev/null
  fi
  if ! cmake --build "$bench_build" -j "$(nproc)" >"$bench_build.log" 2>&1; then
    cat "$bench_build.log" >&2
    exit 1
  fi
  hostsim=$(find "$bench_build/tests" -name 'libkxhostsim.so' | head -n 1)
  [ -n "$hostsim" ] || { echo "host simulator not built" >&2; exit 1; }
  export LD_PRELOAD=$hostsim
}

# bench_host DIR [generator options...]: generates a host into DIR and sets
# host, area, veid, template and uuid from the generator's report.
bench_host() {
  local dir=$1
  shift
  local report
  report=$("$bench_build/bench/gen_host" "$@" "$dir")
  eval "$(printf '%s\n' "$report" | sed -n 's/^\([a-z]*\)=\(.*\)$/\1="\2"/p')"
}

# seconds COMMAND...: runs the command, prints its wall time in seconds.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}

# report LABEL TOOL_SECONDS REFERENCE_LABEL REFERENCE_SECONDS ENTRIES
report() {
  awk -v l="$1" -v t="$2" -v rl="$3" -v r="$4" -v n="$5" 'BEGIN {
    printf "%-34s %8.3f s  %10.0f entries/s\n", l, t, (t > 0 ? n / t : 0)
    printf "%-34s %8.3f s  %10.0f entries/s\n", rl, r, (r > 0 ? n / r : 0)
    printf "%-34s %8.2f\n", "ratio (tool / reference)", (r > 0 ? t / r : 0)
  }'
}
