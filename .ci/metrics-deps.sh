#!/usr/bin/env bash
# The Prometheus components the metrics tests run against: promtool (package
# prometheus) and node_exporter (prometheus-node-exporter). The tests start
# their own instances on 127.0.0.1, so the services the packages install are
# stopped and not left enabled. Without root, prints the line to run instead;
# the tests then skip and say why.
set -euo pipefail
packages=(prometheus prometheus-node-exporter)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "metrics-deps: the metrics tests will skip; install with: sudo apt-get install -y ${missing[*]}" >&2
    exit 0
fi
apt-get update -qq >&2
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
    systemctl disable --now prometheus.service prometheus-node-exporter.service >/dev/null 2>&1 || true
fi
