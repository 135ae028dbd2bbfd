# Writes the morvanel man page with help2man: the tool's main help gives the synopsis and the
# option list, and each command's own help becomes a subsection of COMMANDS, so the page says
# what `morvanel COMMAND --help` says. Run with -P; takes TOOL, HELP2MAN, VERSION and OUTPUT.
foreach(variable TOOL HELP2MAN VERSION OUTPUT)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "man_page.cmake needs -D${variable}=...")
    endif()
endforeach()

# The tool runs as plain `morvanel` from its own folder, so the usage lines name no build path.
get_filename_component(toolDir "${TOOL}" DIRECTORY)
get_filename_component(toolName "${TOOL}" NAME)
if(NOT toolName STREQUAL "morvanel")
    message(FATAL_ERROR "the tool is expected to be named morvanel, not ${toolName}")
endif()
set(ENV{PATH} "${toolDir}:$ENV{PATH}")

function(run_help result)
    execute_process(COMMAND morvanel ${ARGN} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR help STREQUAL "")
        message(FATAL_ERROR "`morvanel ${ARGN} --help` failed (${status})")
    endif()
    set(${result} "${help}" PARENT_SCOPE)
endfunction()

# The commands are the lines of the "Subcommands:" list of the main help.
run_help(mainHelp)
string(REGEX REPLACE ".*\nSubcommands:\n" "" commandList "${mainHelp}")
string(REGEX MATCHALL "(^|\n)  [a-z][a-z0-9-]*" commands "${commandList}")
if(NOT commands)
    message(FATAL_ERROR "`morvanel --help` lists no commands")
endif()

# Each command's help goes in verbatim (.nf); roff needs backslashes and leading dots escaped.
set(include "[COMMANDS]\n")
foreach(command IN LISTS commands)
    string(STRIP "${command}" command)
    run_help(help ${command})
    string(REPLACE "\\" "\\e" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    string(APPEND include ".SS \"morvanel ${command}\"\n.nf\n${help}.fi\n")
endforeach()
string(APPEND include "[EXAMPLES]\n.nf\nmorvanel render coin.mv                # writes coin.wav\n\
morvanel render pad.mv \\-\\-voice pad:a3  # starts a voice of the box pad\n\
morvanel check *.mv                    # compiler-style errors, exit status 1 on any\n.fi\n")
string(APPEND include "[SEE ALSO]\nThe script language, the embedding guide and commented examples are installed with the \
documentation, usually in /usr/share/doc/morvanel.\n")
set(includeFile "${OUTPUT}.include")
file(WRITE "${includeFile}" "${include}")

execute_process(COMMAND "${HELP2MAN}" --no-info --section=1 --version-string=${VERSION}
        "--name=render and check Morvanel sound scripts" --include=${includeFile} --output=${OUTPUT} morvanel
    RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed (${status}): ${errors}")
endif()
