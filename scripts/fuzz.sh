#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, the library instrumented for coverage,
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each of them on its
# seed corpus, then prints executions, coverage and findings per target.
#
# Usage: scripts/fuzz.sh [--time SECONDS] [--runs COUNT] [--smoke] [--no-build]
#                        [--build-dir DIR] [TARGET...]
#   --time S     run each target for S seconds (default 60)
#   --runs N     stop each target after N inputs (whichever of time and runs comes first)
#   --smoke      the CI check: replay every seed and run each target for 5 s
#                with a fixed mutation seed; new inputs go to a scratch folder,
#                not to the campaign corpus
#   --no-build   run the targets as built (a long campaign keeps its binaries
#                while the sources change)
#   --max-len N  inputs of at most N bytes (libFuzzer lets them grow to 4096 by
#                default; shorter ones run faster where every byte is work)
#   TARGET       e.g. fuzz_PacketParserDirect; default: every target
#
# A campaign keeps the inputs it finds in BUILD_DIR/corpus/<target>/ (read
# back by the next run) and writes failing inputs to BUILD_DIR/findings/<target>/.
# The committed seeds are fuzz/corpus/<target>/; a finding's input belongs
# there once it is fixed, so that every smoke run replays it.
# Exit status 1 when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
runs=""
max_len=""
smoke=0
build=1
build_dir=build-fuzz
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --time) seconds="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --smoke) smoke=1; seconds=5; shift ;;
    --no-build) build=0; shift ;;
    --max-len) max_len="$2"; shift 2 ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done

if [ $build -eq 1 ]; then
  bash scripts/install-packages.sh cmake make clang libclang-rt-14-dev qtbase5-dev

  jobs=$(nproc 2>/dev/null || echo 2)
  CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug \
    -DVELDRIN_BUILD_FUZZERS=ON -DVELDRIN_BUILD_TESTS=OFF -DVELDRIN_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$build_dir" -j "$jobs" --target fuzzers
fi

if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# A smoke run keeps its logs apart, so that it never overwrites a campaign's.
logs="$build_dir/fuzz-logs"
[ $smoke -eq 1 ] && logs="$build_dir/fuzz-logs/smoke"
mkdir -p "$logs"
summary=()
failed=0
for target in "${targets[@]}"; do
  binary="$build_dir/fuzz/$target"
  if [ ! -x "$binary" ]; then
    echo "fuzz.sh: no target $target" >&2
    exit 2
  fi
  seeds="fuzz/corpus/$target"
  mkdir -p "$seeds"
  if [ $smoke -eq 1 ]; then
    work=$(mktemp -d)
  else
    work="$build_dir/corpus/$target"
    mkdir -p "$work"
  fi
  findings="$build_dir/findings/$target"
  mkdir -p "$findings"
  log="$logs/$target.log"
  args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
        -artifact_prefix="$findings/")
  [ -n "$runs" ] && args+=(-runs="$runs")
  [ -n "$max_len" ] && args+=(-max_len="$max_len")
  # CI runs the same mutations every time, so a red smoke run repeats.
  [ $smoke -eq 1 ] && args+=(-seed=1)
  echo "== $target (${seconds}s${runs:+, at most $runs inputs})"
  status=0
  nice -n 10 "$binary" "${args[@]}" "$work" "$seeds" >"$log" 2>&1 || status=$?

  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | grep 'cov:' | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$last")
  verdict="none"
  if [ $status -ne 0 ]; then
    verdict="FOUND (exit $status; see $log and $findings/)"
    grep -E 'ERROR: |runtime error|ASSERT|Q_ASSERT|==ERROR' "$log" | head -3 | sed 's/^/   /'
    failed=1
  fi
  summary+=("$(printf '%-34s %12s %10s %7s %8s %7s  %s' "$target" "${executions:-?}" "${rate:-?}" \
                "${cov:-?}" "${ft:-?}" "${corp:-?}" "$verdict")")
  [ $smoke -eq 1 ] && rm -rf "$work"
done

echo
printf '%-34s %12s %10s %7s %8s %7s  %s\n' target executions exec/s cov ft corpus findings
printf '%s\n' "${summary[@]}"
exit $failed
