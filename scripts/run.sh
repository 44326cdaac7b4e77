#!/bin/sh
# Sets up the machine, builds, and runs the main job: the console servant.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
exec build/bin/pyxo-watch "$@"
