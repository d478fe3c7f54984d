#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds two programs against
# the installed tree only: one through find_package(IdxReports CONFIG), one
# through pkg-config. Catches install rules that miss a header, a config file
# that points into the build tree, and an API that does not link from outside.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d "${TMPDIR:-/tmp}/idxreports-consumer-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake -S . -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DIDXREPORTS_BUILD_TESTS=OFF -DIDXREPORTS_BUILD_BENCH=OFF -DIDXREPORTS_WERROR=ON >/dev/null
cmake --build "$work/build" -j "$(nproc)" >/dev/null
cmake --install "$work/build" --prefix "$prefix" >/dev/null

libdir=$(find "$prefix" -name 'libIdxReports.so' -printf '%h\n' | head -n 1)
for f in include/IdxReports/Report.h include/IdxReports/ReportImpl.h include/IdxReports/Reports/JobStatsReport.h \
         include/platform/QiError.h "${libdir#"$prefix"/}/cmake/IdxReports/IdxReportsConfig.cmake" \
         "${libdir#"$prefix"/}/pkgconfig/idxreports.pc" bin/idxreport; do
    [ -e "$prefix/$f" ] || { echo "consumer: $f is not installed" >&2; exit 1; }
done

echo "== consumer through find_package(IdxReports CONFIG)"
cmake -S examples/consumer -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export IDXREPORTS_LOCK_DIR="$work/locks"
"$work/consumer/consumer" "$work/reports"
"$prefix/bin/idxreport" check "$work/reports/JobStats.csv"

echo "== pkgconfig_check through pkg-config idxreports"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046  # the flags are meant to split into words
g++ -o "$work/pkgconfig_check" examples/consumer/pkgconfig_check.cpp $(pkg-config --cflags --libs idxreports)
"$work/pkgconfig_check"
