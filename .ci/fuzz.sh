#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset: clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each from its checked-in seed corpus for
# a bounded time. Fails on the first target that crashes, with its log tail and
# the input that did it.
#   FUZZ_SECONDS   seconds per target (30)
# Installs clang and its fuzzer runtime when missing and run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}

packages=(clang libclang-rt-14-dev cmake make libboost-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "fuzz: installing ${missing[*]}" >&2
        apt-get update -qq >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
    else
        echo "fuzz: missing packages; install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
fi

cmake --preset fuzz -DIDXREPORTS_WERROR="${IDXREPORTS_WERROR:-OFF}" >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in build/fuzz/tests/fuzz/fuzz_*; do
    [ -x "$target" ] && [ -f "$target" ] || continue
    name=$(basename "$target")
    # New inputs go to a scratch copy, so the checked-in corpus stays small.
    mkdir -p "$work/$name"
    if [ -d "tests/fuzz/corpus/$name" ]; then cp "tests/fuzz/corpus/$name/." "$work/$name/" -r; fi
    options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/$name-")
    if [ -f "tests/fuzz/$name.dict" ]; then options+=(-dict="tests/fuzz/$name.dict"); fi
    if ! "$target" "${options[@]}" "$work/$name" >"$work/$name.log" 2>&1; then
        tail -n 60 "$work/$name.log"
        for artifact in "$work/$name"-*; do
            [ -e "$artifact" ] || continue
            echo "== $name failed on this input (base64):"
            base64 "$artifact"
        done
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log")
    echo "$name: ${runs:-?} inputs in ${seconds} s, no failure"
done
