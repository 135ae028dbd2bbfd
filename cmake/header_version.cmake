# Reads the version from the MORVANEL_VERSION_* lines of the public header into
# MORVANEL_HEADER_VERSION, so the project, the soname, the packages and the header cannot disagree.
# Included before project(): it uses nothing but file() and string().
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../include/morvanel.h" morvanel_version_lines REGEX "^#define MORVANEL_VERSION")
set(morvanel_version_parts "")
foreach(part MAJOR MINOR PATCH)
    if(NOT morvanel_version_lines MATCHES "#define MORVANEL_VERSION_${part} ([0-9]+)")
        message(FATAL_ERROR "include/morvanel.h has no '#define MORVANEL_VERSION_${part} <number>' line")
    endif()
    list(APPEND morvanel_version_parts ${CMAKE_MATCH_1})
endforeach()
list(JOIN morvanel_version_parts "." MORVANEL_HEADER_VERSION)
if(NOT morvanel_version_lines MATCHES "#define MORVANEL_VERSION \"([^\"]*)\"")
    message(FATAL_ERROR "include/morvanel.h has no '#define MORVANEL_VERSION \"<text>\"' line")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL MORVANEL_HEADER_VERSION)
    message(FATAL_ERROR "include/morvanel.h: MORVANEL_VERSION is \"${CMAKE_MATCH_1}\" but the "
        "MORVANEL_VERSION_MAJOR, _MINOR and _PATCH lines say ${MORVANEL_HEADER_VERSION}")
endif()
