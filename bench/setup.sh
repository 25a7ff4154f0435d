#!/usr/bin/env bash
# Installs what the benchmark needs beyond the library's own dependencies (run as root):
# Google Benchmark, and OpenCV as the peer the report compares against. The benchmark still
# builds without OpenCV, only without the peer rows. Idempotent: a second run is quick.
set -euo pipefail

packages=(libbenchmark-dev libopencv-dev python3)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "bench/setup: missing packages (${missing[*]}); run this script as root" >&2
    exit 1
  fi
  echo "bench/setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
