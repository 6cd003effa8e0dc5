# Run by ctest: compiles one header at a time with a library's include path.
include(${LAYERS_FILE})

function(compile_header target header result output)
    set(flags -std=c++20 -fPIC -fsyntax-only -x c++)
    foreach(dir IN LISTS ${target}_INCLUDES)
        list(APPEND flags -I${dir})
    endforeach()
    execute_process(COMMAND ${CXX} ${flags} -include ${header} /dev/null
        RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
    set(${result} ${code} PARENT_SCOPE)
    set(${output} "${out}" PARENT_SCOPE)
endfunction()

set(failures 0)
foreach(target IN LISTS LAYERS)
    compile_header(${target} ${${target}_OWN} code out)
    if(NOT code EQUAL 0)
        message(SEND_ERROR "${target}: its own ${${target}_OWN} does not compile:\n${out}")
        math(EXPR failures "${failures} + 1")
    endif()
    compile_header(${target} ${${target}_ABOVE} code out)
    string(FIND "${out}" "${${target}_ABOVE}: No such file" missing)
    if(code EQUAL 0 OR missing EQUAL -1)
        message(SEND_ERROR "${target} can include ${${target}_ABOVE}:\n${out}")
        math(EXPR failures "${failures} + 1")
    else()
        message(STATUS "${target}: ${${target}_OWN} compiles, ${${target}_ABOVE} is out of reach")
    endif()
endforeach()
# The product's sources, outside the operating-system core.
file(GLOB folders LIST_DIRECTORIES true RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
set(sources)
foreach(folder IN LISTS folders)
    if(IS_DIRECTORY ${SOURCE_DIR}/${folder} AND NOT folder MATCHES "^(oscore|tests|bench|fuzz|build.*|[.].*)$")
        file(GLOB_RECURSE found RELATIVE ${SOURCE_DIR}
            ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.h)
        list(APPEND sources ${found})
    endif()
endforeach()

# Fails for every source outside the folders `allowed` matches whose lines match `pattern`.
function(forbid_calls pattern allowed what)
    set(count ${failures})
    foreach(source IN LISTS sources)
        if(allowed AND source MATCHES "${allowed}")
            continue()
        endif()
        file(STRINGS ${SOURCE_DIR}/${source} lines REGEX "${pattern}")
        if(lines)
            message(SEND_ERROR "${source} ${what}:\n${lines}")
            math(EXPR count "${count} + 1")
        endif()
    endforeach()
    set(failures ${count} PARENT_SCOPE)
endfunction()

# Child processes are started, and interrupted calls retried, in the operating-system core only.
forbid_calls("(^|[^_a-zA-Z])(v?fork|execv[pe]*|execl[pe]*|posix_spawnp?) *\\(|errno *[!=]= *EINTR"
    "" "starts a process or retries on EINTR itself")

# Files are opened close-on-exec through the core's one helper, so no descriptor leaks into a
# child started meanwhile.
forbid_calls("(^|[^_a-zA-Z0-9.>:])(::)?open(at)?\\(" "" "opens a file without the core's helper")

# What stands at a path is asked in the OS core and the platform layer only, so every layer
# above judges a file by the same facts.
forbid_calls("(^|[^_a-zA-Z0-9.>:])(::)?(stat|lstat|fstatat|statx) *\\(" "^platform/"
    "looks at a file outside the OS core and platform layer")

# Temporary files and pipes are made close-on-exec by the core's helpers only.
forbid_calls("(^|[^_a-zA-Z0-9.>:])(::)?(mkstemps?|mkostemps?|pipe2?) *\\(" ""
    "makes a temporary file or a pipe without the core's helper")

# No source climbs out of its folder with "..", and the check that the build runs on every
# library does refuse such an include.
file(GLOB folders LIST_DIRECTORIES true RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
set(files)
foreach(folder IN LISTS folders)
    if(IS_DIRECTORY ${SOURCE_DIR}/${folder} AND NOT folder MATCHES "^(tests|build.*|[.].*)$")
        file(GLOB_RECURSE found ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
        list(APPEND files ${found})
    endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} "-DFILES=${files}" -P ${INCLUDE_CHECK}
    RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT code EQUAL 0)
    message(SEND_ERROR "includes that climb with \"..\":\n${out}")
    math(EXPR failures "${failures} + 1")
endif()
string(RANDOM LENGTH 8 tag)
set(probe ${CMAKE_CURRENT_BINARY_DIR}/climbing_${tag}.cpp)
file(WRITE ${probe} "#include \"dialogs/UnitConfig.h\"\n  #  include \"sub/../../app/UnitMain.h\"\n")
execute_process(COMMAND ${CMAKE_COMMAND} "-DFILES=${probe}" -P ${INCLUDE_CHECK}
    RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(REMOVE ${probe})
if(code EQUAL 0 OR NOT out MATCHES "app/UnitMain.h")
    message(SEND_ERROR "the include check let a climbing include through:\n${out}")
    math(EXPR failures "${failures} + 1")
endif()

if(failures GREATER 0)
    message(FATAL_ERROR "${failures} layer check(s) failed")
endif()
