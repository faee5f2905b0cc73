#!/usr/bin/env bash
# Installs what is missing, builds the loader into build/ and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default -DLOADER_BUILD_TESTS=OFF -DLOADER_BUILD_BENCH=OFF
cmake --build --preset default --target load_qx7100 srec2bin binprn32
exec ./build/load_qx7100
