# pelvoran_help_photo(<var>): the lookup page's help photo, the program's own
# bitmap converted to PNG and embedded as a C++ source at build time; <var>
# names that source.
function(pelvoran_help_photo var)
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    set(bmp ${PROJECT_SOURCE_DIR}/app/resources/bitmap100.bmp)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/help_photo.cpp)
    add_custom_command(OUTPUT ${out} ${CMAKE_CURRENT_BINARY_DIR}/help_photo.png
        COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/embed_help_photo.py
                ${bmp} help_photo.png help_photo.cpp
        DEPENDS ${bmp} ${PROJECT_SOURCE_DIR}/tools/embed_help_photo.py
                ${PROJECT_SOURCE_DIR}/tools/bmp_to_png.py
        VERBATIM)
    set(${var} ${out} PARENT_SCOPE)
endfunction()
