# Sourced by the install and bindings checks. release_build_dir prints the folder of an up-to-date
# release build: build/release when the test suite has configured one (CI's tests step has), else
# build/package, a release build of the library and the tool alone. Build output goes to stderr.
release_build_dir() {
    local dir
    if [ -f build/release/CMakeCache.txt ]; then
        dir=build/release
        cmake --build --preset release -j2 >&2
    else
        dir=build/package
        cmake --preset release -B "$dir" -DMORVANEL_BUILD_TESTS=OFF -DMORVANEL_BUILD_BENCH=OFF >&2
        cmake --build "$dir" -j2 >&2
    fi
    echo "$dir"
}
