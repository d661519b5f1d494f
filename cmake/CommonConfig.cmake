# Definitions and warnings every target of the project shares.
add_library(corrivo_common INTERFACE)
target_compile_definitions(corrivo_common INTERFACE
    QT_NO_CAST_TO_ASCII
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_USE_QSTRINGBUILDER
    QT_DISABLE_DEPRECATED_BEFORE=0x060000)
target_compile_options(corrivo_common INTERFACE -Wall -Wextra -Wnon-virtual-dtor)
if(CORRIVO_WERROR)
    target_compile_options(corrivo_common INTERFACE -Werror)
endif()

# Stricter rules: no QString made from a char array in an unstated encoding (say it:
# QStringLiteral, u""_s, QLatin1StringView), and no connect() of a signal to a functor
# without a context object (the functor would outlive what it captured). Qt 6.4 knows
# only the first switch; the check lint_contextless_connect (tests/lint) enforces the
# second on the same sources, and Qt from 6.7 on enforces it too.
set(CORRIVO_STRICT_DEFINITIONS QT_NO_CAST_FROM_ASCII QT_NO_CONTEXTLESS_CONNECT)

# corrivo_apply_strict(): gives every target of the project, made by then, the stricter
# rules. Called once at the end of the top-level CMakeLists.txt, so
# that a new target is held to them without anyone remembering to ask.
function(corrivo_apply_strict)
    corrivo_targets_below(targets "${PROJECT_SOURCE_DIR}")
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "INTERFACE_LIBRARY" OR type STREQUAL "UTILITY")
            continue()
        endif()
        target_compile_definitions(${target} PRIVATE ${CORRIVO_STRICT_DEFINITIONS})
    endforeach()
endfunction()

# Every build system target made in <dir> and the directories below it.
function(corrivo_targets_below out dir)
    get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
    foreach(subdir IN LISTS subdirs)
        corrivo_targets_below(below "${subdir}")
        list(APPEND targets ${below})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()
