# Windows builds with MinGW-w64: a self-contained morvanel.dll and test programs that run under
# Wine when cross-compiled. Included by the top-level CMakeLists.txt before any target exists.

# Nothing but system DLLs at run time: the C++ runtime, libgcc and winpthread are linked into
# every binary, so a host ships morvanel.dll alone.
add_link_options(-static)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # SSE2 arithmetic rounds every float operation to single precision as on x64; the x87 unit
    # would keep excess precision and renders would differ. 32-bit hosts (MSVC's among them) only
    # keep the stack 4-byte aligned, so functions that spill SSE registers realign it themselves.
    add_compile_options(-msse2 -mfpmath=sse -mstackrealign)
endif()

# Cross-compiled: the tests run under Wine, in a prefix of the build folder's own, headless.
if(CMAKE_CROSSCOMPILING AND MORVANEL_BUILD_TESTS)
    set(MORVANEL_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
    set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh;${MORVANEL_WINE_PREFIX}")
    # Test lists are read when ctest runs, not at build time, so building needs no Wine.
    set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh --check-32bit
            RESULT_VARIABLE status OUTPUT_VARIABLE reason OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT status EQUAL 0)
            # Read by tests/CMakeLists.txt: every test that would run a program reports this.
            set(MORVANEL_PROGRAMS_CANNOT_RUN "no 32-bit support (${reason})")
            message(STATUS "Tests of this build's programs will report skipped: ${MORVANEL_PROGRAMS_CANNOT_RUN}")
        endif()
    endif()
endif()

# Programs and the DLL side by side, as a Windows host ships them: the loader finds a DLL in the
# folder of the program that needs it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
