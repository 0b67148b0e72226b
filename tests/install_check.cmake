# `cmake --install` into a temporary prefix puts the program, its manual page (made from --help),
# the desktop entry and its icon in their standard places.
#   cmake -DBUILD=build-folder -DWORK=temporary-folder -P tests/install_check.cmake
cmake_minimum_required(VERSION 3.22)
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed")
endif()
foreach(path bin/tarnwick share/man/man1/tarnwick.1 share/applications/tarnwick.desktop
             share/icons/hicolor/scalable/apps/tarnwick.svg)
    if(NOT EXISTS ${WORK}/${path})
        message(FATAL_ERROR "not installed: ${path}")
    endif()
endforeach()
execute_process(COMMAND ${WORK}/bin/tarnwick --help OUTPUT_VARIABLE help)
file(READ ${WORK}/share/man/man1/tarnwick.1 page)
string(REGEX MATCH "Settings live in[^\n]*" line "${help}")
string(FIND "${page}" "${line}" at)
if(line STREQUAL "" OR at EQUAL -1)
    message(FATAL_ERROR "the manual page does not carry the --help text")
endif()
file(STRINGS ${WORK}/share/applications/tarnwick.desktop entry)
if(NOT "Exec=tarnwick %f" IN_LIST entry OR NOT "Icon=tarnwick" IN_LIST entry)
    message(FATAL_ERROR "the desktop entry does not start the program with its icon")
endif()
file(REMOVE_RECURSE ${WORK})
