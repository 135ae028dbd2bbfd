#!/usr/bin/env bash
# The web build: the WebAssembly module (Debian's Emscripten), the npm package under web/ and the
# playground site in build/web/site, served on localhost.
#
#   scripts/web.sh          builds, then serves the playground at http://127.0.0.1:${PORT:-8000}/
#   scripts/web.sh build    only builds
#   scripts/web.sh test     builds, then runs the module's tests in Node and the page's in Chromium
#   scripts/web.sh serve    serves what was built last
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh

SITE=build/web/site
NATIVE_BUILD=build/web-native

build() {
    ensure_packages "${MORVANEL_BUILD_PACKAGES[@]}" "${MORVANEL_WEB_PACKAGES[@]}"
    ensure_npm

    # The native library and the reference renderer the module's tests compare against.
    cmake --preset release -B "$NATIVE_BUILD" -DMORVANEL_BUILD_WEB=ON \
        -DMORVANEL_BUILD_TESTS=OFF -DMORVANEL_BUILD_TOOLS=OFF -DMORVANEL_BUILD_BENCH=OFF >/dev/null
    cmake --build "$NATIVE_BUILD" --target morvanel_web_reference -j2

    emcmake cmake --preset web >/dev/null
    cmake --build --preset web --target morvanel_wasm morvanel_compat_test -j2
    mkdir -p web/dist
    cp build/web/web/morvanel.wasm web/dist/morvanel.wasm

    rm -rf "$SITE"
    mkdir -p "$SITE/morvanel/src" "$SITE/morvanel/dist" "$SITE/examples"
    cp web/playground/*.html web/playground/*.js web/playground/*.css "$SITE/"
    cp web/src/*.js "$SITE/morvanel/src/"
    cp web/dist/morvanel.wasm "$SITE/morvanel/dist/"
    cp examples/*.mv "$SITE/examples/"
    node -e 'const fs = require("fs"); const d = process.argv[1];
        fs.writeFileSync(`${d}/index.json`, JSON.stringify(fs.readdirSync(d).filter((f) => f.endsWith(".mv")).sort()));' \
        "$SITE/examples"
    echo "Built web/dist/morvanel.wasm ($(stat -c %s web/dist/morvanel.wasm) bytes) and the playground in $SITE"
}

run_tests() {
    (cd web && npm ci --no-audit --no-fund)
    (cd web && npx tsc -p tests/types)
    export MORVANEL_WEB_REFERENCE="$PWD/$NATIVE_BUILD/web/morvanel_web_reference"
    export MORVANEL_WEB_SITE="$PWD/$SITE"
    node --test web/tests/module.test.mjs
    node --test web/tests/browser.test.mjs
}

serve() {
    local port="${PORT:-8000}"
    echo "Playground: http://127.0.0.1:$port/ (Ctrl+C stops)"
    exec python3 -m http.server --bind 127.0.0.1 --directory "$SITE" "$port"
}

case "${1:-}" in
    "") build; serve ;;
    build) build ;;
    test) build; run_tests ;;
    serve) serve ;;
    *) echo "usage: scripts/web.sh [build|test|serve]" >&2; exit 2 ;;
esac
