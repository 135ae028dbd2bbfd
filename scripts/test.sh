#!/usr/bin/env bash
# Configures, builds and runs the whole test suite (release preset), installing what the
# machine lacks first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${MORVANEL_BUILD_PACKAGES[@]}"
cmake --preset release
cmake --build --preset release
ctest --preset release
