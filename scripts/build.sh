#!/bin/sh
# Configures and builds one build tree. Usage: scripts/build.sh [DIR [CMAKE-ARGS...]]
# DIR defaults to build/. Extra arguments go to cmake's configure step.
set -eu
cd "$(dirname "$0")/.."
dir=${1:-build}
[ $# -gt 0 ] && shift
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
