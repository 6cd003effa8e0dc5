# Each folder is one library, and a library may include only its own headers and those of the
# libraries it links. Includes are written from the repository root ("ui/Services.h"), but the
# repository root itself is on no include path: every library publishes an include root of its
# own that holds just a link to its folder. An include of a layer the library does not link
# therefore fails to compile.
# tovilo_layer_includes(<target> <folder> [<name>]): <name> (the folder by default) is how
# includes spell the folder; a folder may lie below another one.
function(tovilo_layer_includes target folder)
    set(name ${folder})
    if(ARGC GREATER 2)
        set(name ${ARGV2})
    endif()
    # A sub-folder ("encoder/run") gets a root of its own beside its parent's, not inside it.
    string(REPLACE "/" "_" key ${name})
    set(root ${PROJECT_BINARY_DIR}/layers/${key})
    cmake_path(GET name PARENT_PATH parent)
    file(MAKE_DIRECTORY ${root}/${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${name} SYMBOLIC)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
        target_include_directories(${target} INTERFACE ${root})
    else()
        target_include_directories(${target} PUBLIC ${root})
        tovilo_check_includes(${target})
    endif()
endfunction()

# The build fails on a quoted include that climbs with "..": it finds a header beside the file
# before any include path is asked. Each library's sources are checked whenever one changes.
function(tovilo_check_includes target)
    get_target_property(sources ${target} SOURCES)
    get_target_property(dir ${target} SOURCE_DIR)
    set(files)
    foreach(source IN LISTS sources)
        if(source MATCHES "\\.(h|cpp)$")
            cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${dir} OUTPUT_VARIABLE path)
            list(APPEND files ${path})
        endif()
    endforeach()
    set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}_includes.stamp)
    add_custom_command(OUTPUT ${stamp}
        COMMAND ${CMAKE_COMMAND} "-DFILES=${files}" -DSTAMP=${stamp}
            -P ${PROJECT_SOURCE_DIR}/cmake/CheckIncludes.cmake
        DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/CheckIncludes.cmake
        COMMENT "Checking ${target} for includes that climb with .."
        VERBATIM)
    add_custom_target(${target}_includes DEPENDS ${stamp})
    add_dependencies(${target} ${target}_includes)
endfunction()
