# Each folder is one library, and a library may include only its own headers and those of the
# libraries it links. Includes are written from the repository root ("ui/Services.h"), but the
# repository root itself is on no include path: every library publishes an include root of its
# own that holds just a link to its folder. An include of a layer the library does not link
# therefore fails to compile.
function(tovilo_layer_includes target folder)
    set(root ${PROJECT_BINARY_DIR}/layers/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL INTERFACE_LIBRARY)
        target_include_directories(${target} INTERFACE ${root})
    else()
        target_include_directories(${target} PUBLIC ${root})
    endif()
endfunction()
