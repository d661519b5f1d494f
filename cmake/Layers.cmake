# The native code comes in layers, each a static library of one folder of src/:
#
#   base  <  model  <  cloud  <  vpn  <  serial  <  bridge  <  shell
#
# A layer may include its own headers and those of the layers it is given (and theirs),
# never one above it: each layer's headers are reached only through an include root of
# its own, made in the build tree, that holds just that folder. "bridge/hlv.h" written
# in src/model is a build error, not a habit that creeps in.
#
# corrivo_layer(<folder> [DEPENDS <lower layers>] [LIBRARIES <other libraries>])
# makes the library corrivo_<folder>; the folder's CMakeLists.txt adds the sources.
function(corrivo_layer folder)
    cmake_parse_arguments(arg "" "" "DEPENDS;LIBRARIES" ${ARGN})
    set(root "${CMAKE_BINARY_DIR}/layers/${folder}")
    corrivo_layer_root("${root}" "${folder}")
    add_library(corrivo_${folder} STATIC)
    target_include_directories(corrivo_${folder} PUBLIC "${root}")
    target_link_libraries(corrivo_${folder} PUBLIC corrivo_common ${arg_LIBRARIES})
    foreach(layer IN LISTS arg_DEPENDS)
        target_link_libraries(corrivo_${folder} PUBLIC corrivo_${layer})
    endforeach()
endfunction()

# An include root that holds only src/<folder> (as a link to it).
function(corrivo_layer_root root folder)
    file(MAKE_DIRECTORY "${root}")
    if(NOT IS_SYMLINK "${root}/${folder}")
        file(CREATE_LINK "${PROJECT_SOURCE_DIR}/src/${folder}" "${root}/${folder}" SYMBOLIC)
    endif()
endfunction()
