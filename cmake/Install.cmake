# What `cmake --install` puts where: the programs in bin/, the display package in a private
# library folder found through a relative RPATH (so any prefix works, and a package can be
# unpacked anywhere), and what the desktop needs to list, show and document the program.
if(NOT ORVALEN_GUI)
    return()
endif()

set(ORVALEN_APP_ID org.orvalen.Orvalen)
set(ORVALEN_PRIVATE_LIBDIR lib/orvalen)
set(ORVALEN_DOCDIR share/doc/orvalen)
set(ORVALEN_DATA_DIR ${PROJECT_SOURCE_DIR}/data)
set(ORVALEN_GENERATED_DATA_DIR ${CMAKE_BINARY_DIR}/data)

# The build keeps everything side by side in bin/ ($ORIGIN); the installed main program looks
# one folder up. The launcher and the library need no search path of their own.
set_target_properties(Orvalen_main PROPERTIES INSTALL_RPATH "$ORIGIN/../${ORVALEN_PRIVATE_LIBDIR}")
set_target_properties(OrvalenViewer Framekit PROPERTIES INSTALL_RPATH "")
# The format module finds the display package beside it.
set_target_properties(FramekitFormats PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS Orvalen_main OrvalenViewer RUNTIME DESTINATION bin)
# A library is not a program: no execute bits (Debian's policy, and what lintian checks).
install(TARGETS Framekit FramekitFormats LIBRARY DESTINATION ${ORVALEN_PRIVATE_LIBDIR}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The icon's PNG sizes are drawn from the SVG; manual pages and the changelog are compressed
# without a time stamp, so the package's bytes depend only on the sources.
find_program(ORVALEN_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(ORVALEN_GZIP gzip REQUIRED)
set(generated)
foreach(size 48 256)
    set(png ${ORVALEN_GENERATED_DATA_DIR}/icons/${size}/${ORVALEN_APP_ID}.png)
    add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${ORVALEN_GENERATED_DATA_DIR}/icons/${size}
        COMMAND ${ORVALEN_RSVG_CONVERT} -w ${size} -h ${size} -o ${png}
                ${ORVALEN_DATA_DIR}/${ORVALEN_APP_ID}.svg
        DEPENDS ${ORVALEN_DATA_DIR}/${ORVALEN_APP_ID}.svg
        COMMENT "Drawing the ${size} px icon"
        VERBATIM)
    list(APPEND generated ${png})
    install(FILES ${png} DESTINATION share/icons/hicolor/${size}x${size}/apps)
endforeach()
foreach(name Orvalen_main.1 OrvalenViewer.1 changelog)
    set(gz ${ORVALEN_GENERATED_DATA_DIR}/${name}.gz)
    add_custom_command(OUTPUT ${gz}
        COMMAND sh -c "${ORVALEN_GZIP} -9nc \"$0\" > \"$1\"" ${ORVALEN_DATA_DIR}/${name} ${gz}
        DEPENDS ${ORVALEN_DATA_DIR}/${name}
        COMMENT "Compressing ${name}"
        VERBATIM)
    list(APPEND generated ${gz})
endforeach()
add_custom_target(orvalen-data ALL DEPENDS ${generated})

install(FILES ${ORVALEN_DATA_DIR}/${ORVALEN_APP_ID}.svg
    DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${ORVALEN_DATA_DIR}/${ORVALEN_APP_ID}.desktop DESTINATION share/applications)
install(FILES ${ORVALEN_DATA_DIR}/${ORVALEN_APP_ID}.metainfo.xml DESTINATION share/metainfo)
install(FILES ${ORVALEN_GENERATED_DATA_DIR}/Orvalen_main.1.gz
              ${ORVALEN_GENERATED_DATA_DIR}/OrvalenViewer.1.gz
    DESTINATION share/man/man1)
install(FILES ${PROJECT_SOURCE_DIR}/main/help/Orvalen_main.html
              ${ORVALEN_DATA_DIR}/copyright
              ${ORVALEN_GENERATED_DATA_DIR}/changelog.gz
    DESTINATION ${ORVALEN_DOCDIR})
