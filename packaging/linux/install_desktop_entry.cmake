# Runs at install time (cmake --install): the `bin/vessa` link into the bundle and the desktop
# entry whose Exec names the installed bundle's executable. Needs VESSA_PACKAGING_DIR and
# VESSA_PACKAGING_BINARY_DIR; CMAKE_INSTALL_PREFIX is the prefix chosen at install time.

set(_bundle_exe "${CMAKE_INSTALL_PREFIX}/lib/vessa/Vessa.app/bin/vessa")

# A command on PATH; relative, so a DESTDIR staging tree stays valid once moved into place.
file(MAKE_DIRECTORY "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin")
file(CREATE_LINK "../lib/vessa/Vessa.app/bin/vessa" "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/vessa"
     SYMBOLIC)
message(STATUS "Installing: $ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/vessa -> ../lib/vessa/Vessa.app/bin/vessa")

# Desktop-entry quoting: inside a quoted Exec argument `"`, `` ` ``, `$` and `\` take a
# backslash; then every value escapes its backslashes once more, and Exec doubles `%`.
string(REPLACE "\\" "\\\\" _arg "${_bundle_exe}")
string(REPLACE "\"" "\\\"" _arg "${_arg}")
string(REPLACE "`" "\\`" _arg "${_arg}")
string(REPLACE "$" "\\$" _arg "${_arg}")
string(REPLACE "\\" "\\\\" _arg "${_arg}")
string(REPLACE "%" "%%" VESSA_EXEC_ARG "${_arg}")
string(REPLACE "\\" "\\\\" VESSA_TRY_EXEC "${_bundle_exe}")

file(READ "${VESSA_PACKAGING_DIR}/app.vessa.desktop.desktop.in" _template)
string(CONFIGURE "${_template}" _entry @ONLY)
file(WRITE "${VESSA_PACKAGING_BINARY_DIR}/app.vessa.desktop.desktop" "${_entry}")
file(INSTALL "${VESSA_PACKAGING_BINARY_DIR}/app.vessa.desktop.desktop"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications")
file(INSTALL "${VESSA_PACKAGING_DIR}/app.vessa.desktop.svg"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/share/icons/hicolor/scalable/apps")
