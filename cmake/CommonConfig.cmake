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
