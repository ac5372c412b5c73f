#!/usr/bin/env bash
# Runs one fuzz target, failing on any crash, leak, time-out or sanitizer
# report.
#   run_fuzzer.sh fuzz   BINARY SEEDS DICT|- SECONDS ARTIFACTS [libFuzzer options...]
#     fuzzes for SECONDS from a scratch copy of SEEDS, so neither the seeds
#     nor anything in the tree grows; what breaks lands in ARTIFACTS.
#   run_fuzzer.sh replay BINARY DIR
#     runs every file in DIR once (the inputs of crashes already mended).
set -euo pipefail
mode="$1"
binary="$2"

# An input that takes this long is a hang, not a slow parse.
per_input_timeout=10
# The decoder's largest pictures stay far below this; beyond it is a leak.
rss_limit_mb=2560

case "$mode" in
  fuzz)
    seeds="$3" dict="$4" seconds="$5" artifacts="$6"
    shift 6
    scratch="$(mktemp -d "${TMPDIR:-/tmp}/veilcast-fuzz.XXXXXX")"
    trap 'rm -rf "$scratch"' EXIT
    mkdir -p "$scratch/corpus" "$artifacts"
    cp -R "$seeds/." "$scratch/corpus/"
    options=(-max_total_time="$seconds" -print_final_stats=1 -timeout="$per_input_timeout"
      -rss_limit_mb="$rss_limit_mb" -artifact_prefix="$artifacts/")
    [[ "$dict" == "-" ]] || options+=(-dict="$dict")
    # The process' own folder for whatever the target writes.
    cd "$scratch"
    exec "$binary" "${options[@]}" "$@" "$scratch/corpus"
    ;;
  replay)
    dir="$3"
    files=("$dir"/*)
    [[ -e "${files[0]}" ]] || { echo "run_fuzzer: no inputs in $dir" >&2; exit 1; }
    exec "$binary" -timeout="$per_input_timeout" -rss_limit_mb="$rss_limit_mb" "${files[@]}"
    ;;
  *)
    echo "run_fuzzer: unknown mode $mode" >&2
    exit 2
    ;;
esac
