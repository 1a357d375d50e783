# The Windows self-extracting patch program, STUBWIN.LGP beside the programs,
# built whenever the MinGW-w64 cross compiler is present: a separate
# configure of stub/windows with the cross toolchain file, building only what
# the stub needs (and stubwin_test.exe in build/winstub/, the same program
# with the tests' scripted answers). TARROWIN_WINDOWS_TEST_HELPERS lists further one-file Windows
# programs the tests use; they land in build/winstub/.
find_program(TARROWIN_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++)
if(NOT TARROWIN_MINGW_CXX)
    message(STATUS "No MinGW-w64 cross compiler: STUBWIN.LGP is not built")
    return()
endif()

include(ExternalProject)
set(TARROWIN_WINSTUB_DIR "${CMAKE_BINARY_DIR}/winstub")
set(_helpers "${TARROWIN_WINDOWS_TEST_HELPERS}")
string(REPLACE ";" "|" _helpers "${_helpers}")
set(_launcher)
if(CCACHE_PROGRAM)
    set(_launcher "-DCMAKE_CXX_COMPILER_LAUNCHER:STRING=${CCACHE_PROGRAM}")
endif()
ExternalProject_Add(stubwin
    SOURCE_DIR "${CMAKE_SOURCE_DIR}/stub/windows"
    BINARY_DIR "${TARROWIN_WINSTUB_DIR}"
    LIST_SEPARATOR "|"
    CMAKE_ARGS
        "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake"
        "-DCMAKE_BUILD_TYPE=MinSizeRel"
        "-DTARROWIN_WINDOWS_TEST_HELPERS=${_helpers}"
        "-DTARROWIN_VERSION=${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}"
        ${_launcher}
    CMAKE_CACHE_ARGS "-DTARROWIN_EXTRA_CXX_FLAGS:STRING=${TARROWIN_EXTRA_CXX_FLAGS}"
    BUILD_ALWAYS ON
    INSTALL_COMMAND ${CMAKE_COMMAND} -E copy_if_different
        "${TARROWIN_WINSTUB_DIR}/stubwin.exe" "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/STUBWIN.LGP"
    BUILD_BYPRODUCTS "${TARROWIN_WINSTUB_DIR}/stubwin.exe" "${TARROWIN_WINSTUB_DIR}/stubwin_test.exe"
    USES_TERMINAL_BUILD OFF)
# The converter's Windows stub image, installed beside STUB.LGP (and so in
# the Debian package): make-sfx ... FIX.exe needs it.
install(FILES "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/STUBWIN.LGP" DESTINATION ${TARROWIN_INSTALL_PRIVATEDIR})
