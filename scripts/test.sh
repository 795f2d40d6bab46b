#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh

cmake --preset linux
cmake --build --preset linux -j "$(nproc)"
ctest --preset linux -j "$(nproc)"
