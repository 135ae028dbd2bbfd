#!/usr/bin/env bash
# Configures, builds and runs the whole test suite (release preset), installing what the
# machine lacks first. The options that turn parts of the build off are set back on, in case
# build/release was once configured without them; a run that finds no test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${MORVANEL_BUILD_PACKAGES[@]}"
cmake --preset release -DMORVANEL_BUILD_TESTS=ON -DMORVANEL_BUILD_TOOLS=ON -DMORVANEL_BUILD_BENCH=ON
cmake --build --preset release
ctest --preset release --no-tests=error
