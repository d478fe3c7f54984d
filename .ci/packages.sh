#!/usr/bin/env bash
# Builds the Debian packages (release preset), installs them with dpkg and uses
# them as a user would: the manual page, the tool, and programs built against
# /usr alone through find_package and pkg-config. Then lintian, then dpkg -r,
# and a check that no file of the packages is left. Root only: it installs
# into /usr, and it purges the packages at the end whatever happened.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "packages: needs root (dpkg -i into /usr)" >&2
    exit 1
fi
names=(libidxreports1 libidxreports-dev idxreport)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
for p in "${names[@]}"; do
    if dpkg-query -W "$p" >/dev/null 2>&1; then
        echo "packages: $p is already on this machine; remove it first (dpkg -P $p)" >&2
        exit 1
    fi
done

needed=(cmake g++ make pkg-config dpkg-dev file gzip help2man lintian man-db
        libboost-dev libcli11-dev libfmt-dev nlohmann-json3-dev)
missing=()
for p in "${needed[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -ne 0 ]; then
    echo "packages: installing ${missing[*]}" >&2
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=300 "${missing[@]}" >&2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/idxreports-packages-XXXXXX")
# Purges whatever dpkg still knows of ours: installed, or removed with its
# postrm kept for the purge.
purge_ours() {
    local p present=()
    for p in "${names[@]}"; do
        if dpkg-query -W "$p" >/dev/null 2>&1; then present+=("$p"); fi
    done
    [ ${#present[@]} -eq 0 ] || dpkg -P "${present[@]}" >/dev/null
}
trap 'purge_ours || true; rm -rf "$work"' EXIT

echo "== packages: build (release preset)"
build=build/release
# The benchmarks are part of the release preset but of no package.
cmake --preset release -DIDXREPORTS_WERROR="${IDXREPORTS_WERROR:-OFF}" -DIDXREPORTS_BUILD_BENCH=OFF >/dev/null
rm -f "$build"/*.deb
cmake --build "$build" -j "$(nproc)" --target package >"$work/package.log" 2>&1 ||
    { tail -n 40 "$work/package.log" >&2; exit 1; }
arch=$(dpkg --print-architecture)
debs=()
for p in "${names[@]}"; do
    deb=$(find "$build" -maxdepth 1 -name "${p}_*_${arch}.deb")
    [ -n "$deb" ] || { echo "packages: the build made no $p package" >&2; exit 1; }
    debs+=("$deb")
    dpkg-deb -f "$deb" Package Version Depends | sed 's/^/  /'
done

echo "== packages: lintian"
# Any error fails, and so does a warning that README's list does not explain.
lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs "${debs[@]}"

echo "== packages: dpkg -i"
dpkg -i "${debs[@]}" >/dev/null
for p in "${names[@]}"; do dpkg -L "$p"; done | sort -u >"$work/files"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for f in "/usr/lib/$multiarch/libIdxReports.so.1" "/usr/lib/$multiarch/libIdxReports.so" \
         "/usr/lib/$multiarch/cmake/IdxReports/IdxReportsConfig.cmake" \
         "/usr/lib/$multiarch/pkgconfig/idxreports.pc" /usr/lib/tmpfiles.d/idxreports.conf \
         /usr/include/IdxReports/Reports/JobStatsReport.h /usr/bin/idxreport /usr/share/man/man1/idxreport.1.gz; do
    grep -qx "$f" "$work/files" || { echo "packages: $f is in no package" >&2; exit 1; }
done

echo "== packages: man idxreport"
# Every subcommand that the installed tool lists has its part of the page.
MANWIDTH=100 man idxreport >"$work/man.txt"
grep -q '^EXIT STATUS' "$work/man.txt" || { echo "packages: the manual page has no EXIT STATUS" >&2; exit 1; }
for sub in $(idxreport --help | sed -n '/^Subcommands:/,/^$/s/^  \([^ ]*\).*/\1/p'); do
    grep -q "^   idxreport $sub " "$work/man.txt" || { echo "packages: man idxreport lacks $sub" >&2; exit 1; }
done

echo "== packages: a program built against /usr through find_package(IdxReports)"
cmake -S examples/consumer -B "$work/consumer" >/dev/null
cmake --build "$work/consumer" >/dev/null
# /lib is /usr/lib on a merged-/usr system.
ldd "$work/consumer/consumer" | grep -Eq "libIdxReports\.so\.1 => (/usr)?/lib/$multiarch/" ||
    { echo "packages: consumer does not use /usr's library" >&2; ldd "$work/consumer/consumer" >&2; exit 1; }
"$work/consumer/consumer" "$work/reports"
idxreport check "$work/reports/JobStats.csv"

echo "== packages: a program built through pkg-config idxreports"
# shellcheck disable=SC2046  # the flags are meant to split into words
g++ -o "$work/pkgconfig_check" examples/consumer/pkgconfig_check.cpp $(pkg-config --cflags --libs idxreports)
"$work/pkgconfig_check"

echo "== packages: idxreport demo"
idxreport demo "$work/demo" >"$work/demo.log" || { tail -n 20 "$work/demo.log" >&2; exit 1; }
grep -q ': ok (' "$work/demo.log"

echo "== packages: dpkg -r"
dpkg -r idxreport libidxreports-dev libidxreports1 >/dev/null
# A file of ours must be gone; a directory only when it is empty and no other
# package owns it (dpkg keeps /usr/include and the like).
left=0
while read -r f; do
    if [ -L "$f" ] || { [ -e "$f" ] && [ ! -d "$f" ]; }; then
        echo "packages: left behind: $f" >&2
        left=1
    elif [ -d "$f" ] && [ -z "$(ls -A "$f")" ] && ! dpkg -S "$f" >/dev/null 2>&1; then
        echo "packages: empty directory left behind: $f" >&2
        left=1
    fi
done <"$work/files"
[ "$left" -eq 0 ]
purge_ours
echo "packages: built, installed, used, removed: ${names[*]}"
