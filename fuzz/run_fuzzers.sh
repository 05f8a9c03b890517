#!/usr/bin/env bash
# Runs the libFuzzer targets that the fuzz preset builds, one after another.
#
#   fuzz/run_fuzzers.sh SECONDS          fuzz each target for SECONDS
#   fuzz/run_fuzzers.sh --smoke SECONDS  run every corpus file once, then fuzz
#                                        each target for SECONDS
#
# Each target fuzzes a copy of its corpus under build/fuzz/work/, so what it
# learns never grows the corpus in the tree. Prints each target's executions
# per second; exits non-zero when any target crashes, leaks, hangs or breaks
# a checked property. The input that did it is left in the work folder's
# artifacts/; copied into fuzz/corpus/<target>/ it becomes a regression case.
# FUZZ_TARGETS="fuzz_regedit4 ..." runs only those.
set -uo pipefail

smoke=0
if [ "${1:-}" = "--smoke" ]; then smoke=1; shift; fi
seconds="${1:?usage: run_fuzzers.sh [--smoke] SECONDS}"

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KESTROW_FUZZ_BUILD:-$root/build/fuzz}"
targets=(${FUZZ_TARGETS:-fuzz_command_tail fuzz_dbcs_search fuzz_regedit4 fuzz_creg fuzz_machine_settings})
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# A number from the statistics libFuzzer prints at the end (-print_final_stats=1).
final_stat() { grep -o "stat::$2: *[0-9]*" "$1" | tail -n 1 | grep -o '[0-9]*$'; }

failed=()
report=()
for target in "${targets[@]}"; do
    binary="$build/fuzz/$target"
    corpus="$root/fuzz/corpus/$target"
    work="$build/work/$target"
    if [ ! -x "$binary" ]; then
        echo "run_fuzzers: $binary is not built (make fuzz builds it)" >&2
        failed+=("$target")
        continue
    fi
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    if [ -d "$corpus" ]; then cp "$corpus"/* "$work/corpus/" 2>/dev/null; fi
    options=(-timeout=10 -print_final_stats=1 -artifact_prefix="$work/artifacts/")
    if [ -f "$root/fuzz/$target.dict" ]; then options+=(-dict="$root/fuzz/$target.dict"); fi

    if [ "$smoke" -eq 1 ] && [ -d "$corpus" ]; then
        files=("$corpus"/*)
        if ! "$binary" "${options[@]}" "${files[@]}" >"$work/replay.log" 2>&1; then
            echo "run_fuzzers: $target fails on a corpus file:" >&2
            grep -E '^Running:|ERROR|property violated|SUMMARY' "$work/replay.log" | tail -n 20 >&2
            echo "  (whole log: $work/replay.log)" >&2
            failed+=("$target")
            report+=("$(printf '%-24s corpus replay FAILED' "$target")")
            continue
        fi
    fi

    "$binary" "${options[@]}" -max_total_time="$seconds" "$work/corpus" >"$work/fuzz.log" 2>&1
    status=$?
    runs=$(final_stat "$work/fuzz.log" number_of_executed_units)
    speed=$(final_stat "$work/fuzz.log" average_exec_per_sec)
    verdict="ok"
    if [ "$status" -ne 0 ]; then
        verdict="FAILED"
        failed+=("$target")
        echo "run_fuzzers: $target found a failure:" >&2
        grep -E 'ERROR|property violated|SUMMARY|Test unit written' "$work/fuzz.log" |
            head -n 10 >&2
        # The first stack frames outside libFuzzer, the sanitizers and libc.
        grep -E '^ +#[0-9]+ ' "$work/fuzz.log" |
            grep -vE 'fuzzer::|__sanitizer|__asan|__ubsan|libc\.so|pthread_kill|raise\.c|abort\.c' |
            head -n 8 >&2
        echo "  (whole log: $work/fuzz.log; input: $work/artifacts/)" >&2
    fi
    report+=("$(printf '%-24s %12s runs  %8s exec/s  %s' \
        "$target" "${runs:-?}" "${speed:-?}" "$verdict")")
done

echo "fuzz results:"
for line in "${report[@]}"; do echo "  $line"; done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz targets with failures: ${failed[*]}" >&2
    exit 1
fi
