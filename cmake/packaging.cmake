# Desktop integration files and the .deb/.rpm packages CPack makes from the install tree.
# `cpack -G DEB` / `-G RPM` (or `make package`) after a build; packages land in <build>/packages.

# ---- desktop integration: metainfo and icons (the desktop entry is written at install time) ----
# Honours SOURCE_DATE_EPOCH, so a rebuild of the same sources gives the same file.
string(TIMESTAMP VESSA_RELEASE_DATE "%Y-%m-%d" UTC)
configure_file("${CMAKE_SOURCE_DIR}/packaging/linux/app.vessa.desktop.metainfo.xml.in"
               "${CMAKE_BINARY_DIR}/packaging/app.vessa.desktop.metainfo.xml" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/packaging/app.vessa.desktop.metainfo.xml"
        DESTINATION share/metainfo)
foreach(size 16 24 32 48 64 128 256 512)
  install(FILES "${CMAKE_SOURCE_DIR}/packaging/linux/icons/app.vessa.desktop-${size}.png"
          DESTINATION "share/icons/hicolor/${size}x${size}/apps" RENAME app.vessa.desktop.png)
endforeach()

# ---- packages ----
set(CPACK_PACKAGE_NAME vessa)
set(CPACK_PACKAGE_VENDOR "Vessa")
set(CPACK_PACKAGE_CONTACT "The Vessa developers <support@vessa.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop workspace for AI coding agents")
set(CPACK_PACKAGE_DESCRIPTION
    "Vessa runs AI coding agents, the Taskwright runtime, the coding command-line tools and a
browser-automation service on this machine, and shows them in one window.")
set(CPACK_PACKAGE_HOMEPAGE_URL "${VESSA_RELEASE_HOST}/")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_GENERATOR "DEB;RPM")
set(CPACK_OUTPUT_FILE_PREFIX "${CMAKE_BINARY_DIR}/packages")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The install step writes the desktop entry's absolute Exec path from the prefix: it must see
# /usr, with the staging folder given as DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The bundled installer scripts run with bash; tar unpacks updates.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "bash, tar")
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE "Proprietary")
set(CPACK_RPM_PACKAGE_GROUP "Development/Tools")
set(CPACK_RPM_PACKAGE_AUTOREQ ON)
set(CPACK_RPM_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_PACKAGE_REQUIRES "tar")
set(CPACK_RPM_DEBUGINFO_PACKAGE ON)
# The sources (a build folder inside them comes along) for the -debuginfo package.
set(CPACK_BUILD_SOURCE_DIRS "${CMAKE_SOURCE_DIR}")
# The debug information's source paths are rewritten in place to <prefix>/src_0, which must not
# be longer than the folder it replaces: the usual prefix when it fits, else a shorter one.
string(LENGTH "${CMAKE_SOURCE_DIR}" _src_len)
foreach(_prefix /usr/src/debug/vessa /usr/src/vessa /src/vessa /v)
  string(LENGTH "${_prefix}/src_0" _prefix_len)
  if(NOT _src_len LESS _prefix_len)
    set(CPACK_RPM_BUILD_SOURCE_DIRS_PREFIX "${_prefix}")
    break()
  endif()
endforeach()
# Folders the system's own packages own.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/applications /usr/share/metainfo /usr/share/icons /usr/share/icons/hicolor
    /usr/lib/.build-id)
foreach(size 16x16 24x24 32x32 48x48 64x64 128x128 256x256 512x512 scalable)
  list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
       "/usr/share/icons/hicolor/${size}" "/usr/share/icons/hicolor/${size}/apps")
endforeach()

include(CPack)
