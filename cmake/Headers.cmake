# Each library names the folder of the source tree whose headers it offers:
#   tarrowin_headers(TARGET FOLDER [AS NAME])
# makes FOLDER's headers reachable as "NAME/header.h" (NAME defaults to
# FOLDER) for TARGET and for everything that links it, and nothing else of
# the tree. Every folder gets an include root of its own in the build tree
# holding one link to the folder, so a file can only include the headers of
# the libraries its target links: an include that points the wrong way fails
# to compile instead of passing unnoticed.
function(tarrowin_headers target folder)
    cmake_parse_arguments(PARSE_ARGV 2 arg "" "AS" "")
    set(name "${folder}")
    if(arg_AS)
        set(name "${arg_AS}")
    endif()
    set(root "${CMAKE_BINARY_DIR}/include/${name}")
    get_filename_component(parent "${root}/${name}" DIRECTORY)
    file(MAKE_DIRECTORY "${parent}")
    file(CREATE_LINK "${CMAKE_SOURCE_DIR}/${folder}" "${root}/${name}" SYMBOLIC)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
        target_include_directories(${target} INTERFACE "${root}")
    elseif(type STREQUAL "EXECUTABLE")
        target_include_directories(${target} PRIVATE "${root}")
    else()
        target_include_directories(${target} PUBLIC "${root}")
    endif()
endfunction()
