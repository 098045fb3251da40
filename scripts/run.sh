#!/usr/bin/env bash
# Installs what is missing, builds both programs (tavrel, tavrel-run), and starts
# Tavrel on its sequence window.
# Extra arguments go to the program (for instance --simulate).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target tavrel tavrel-run
exec ./build/tavrel "$@"
