# Fails if the engine's object code does any x87 floating-point arithmetic: 32-bit builds must
# compute with SSE2, whose float operations round to single precision as on x64, or their renders
# would drift from everyone else's. Loads, stores and integer conversions through x87 registers
# are exact and allowed (the 32-bit calling convention returns floats in them).
# Arguments: -DOBJDUMP=... -DARCHIVE=<the engine's static library>
execute_process(COMMAND "${OBJDUMP}" -d --no-show-raw-insn "${ARCHIVE}" OUTPUT_VARIABLE listing
    ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -d ${ARCHIVE} failed: ${errors}")
endif()
string(REGEX MATCHALL "\n *[0-9a-f]+:\t(fi?(add|sub|subr|mul|div|divr)|fsqrt|fsin|fcos|fsincos|fptan|fpatan|fprem1?|fscale|f2xm1|fyl2x|fyl2xp1|frndint)[lspq]*[ \n]"
    x87 "${listing}")
string(REGEX MATCHALL "\n *[0-9a-f]+:\t(add|sub|mul|div)s[sd][ \n]" sse "${listing}")
list(LENGTH x87 x87Count)
list(LENGTH sse sseCount)
if(NOT x87Count EQUAL 0)
    list(SUBLIST x87 0 5 first)
    message(FATAL_ERROR "${x87Count} x87 arithmetic instructions in ${ARCHIVE}, for example:${first}")
endif()
if(sseCount EQUAL 0)
    message(FATAL_ERROR "found no SSE arithmetic in ${ARCHIVE}: is the listing what this check expects?")
endif()
message(STATUS "${sseCount} SSE arithmetic instructions, no x87 arithmetic")
