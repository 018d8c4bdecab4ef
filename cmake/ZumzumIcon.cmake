# The application icon is drawn once, as SVG; every bitmap size is rendered from it at build time.
find_program(RSVG_CONVERT rsvg-convert)
set(ZUMZUM_ICON_SVG ${PROJECT_SOURCE_DIR}/data/icons/org.example.ZumzumChat.svg)

# Renders the icon at <size> pixels square into <output>.
function(zumzum_render_icon output size)
    # The fuzz build configures the window code without ever building it.
    if(NOT RSVG_CONVERT AND NOT ZUMZUM_BUILD_FUZZ)
        message(FATAL_ERROR "rsvg-convert (Debian package librsvg2-bin) is needed to render the icon")
    endif()
    get_filename_component(folder ${output} DIRECTORY)
    add_custom_command(
        OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
        COMMAND ${RSVG_CONVERT} --width=${size} --height=${size} --format=png --output=${output} ${ZUMZUM_ICON_SVG}
        DEPENDS ${ZUMZUM_ICON_SVG}
        COMMENT "Rendering the ${size} px icon"
        VERBATIM)
endfunction()
