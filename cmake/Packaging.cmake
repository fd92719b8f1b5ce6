# What gets installed, the Windows zip and the Debian package.
#   Windows: cmake --build --preset win32 --target package   (and win64) -> build/<preset>/TavoRouterControl-<version>-<arch>.zip
#   Linux:   cmake --install build/linux [--prefix DIR], or
#            cmake --build --preset linux --target package   -> build/linux/tavorouter-control_<version>_amd64.deb
# Included at the end of the top-level CMakeLists.txt, when every target exists.

# One component, so that install rules other folders may bring along stay out of the zip.
set(TAVO_INSTALL_COMPONENT TavoRouterControl)

# Text files made from the templates in packaging/: Name is the file's name in the build's packaging
# folder; Windows files get Windows line ends, so a double click opens them readably in any editor.
function(tavo_packaged_text Template Name)
  file(READ ${Template} Text)
  string(CONFIGURE "${Text}" Text @ONLY)
  string(REPLACE "\r\n" "\n" Text "${Text}")
  if(WIN32)
    string(REPLACE "\n" "\r\n" Text "${Text}")
  endif()
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/${Name}.new "${Text}")
  file(COPY_FILE ${CMAKE_BINARY_DIR}/packaging/${Name}.new ${CMAKE_BINARY_DIR}/packaging/${Name} ONLY_IF_DIFFERENT)
  file(REMOVE ${CMAKE_BINARY_DIR}/packaging/${Name}.new)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${Template})
endfunction()

set(TAVO_VERSION ${PROJECT_VERSION})
if(WIN32)
  set(TAVO_SETTINGS_PLACE "It must lie in the same folder as the program and carry the program's name: TavoRouterControl.exe\n; reads TavoRouterControl.ini (a copy renamed StudioB.exe would read StudioB.ini).")
else()
  set(TAVO_SETTINGS_PLACE "TavoRouterControl reads TavoRouterControl.ini beside itself or, when there is none there,\n; ~/.config/TavoRouterControl/TavoRouterControl.ini (under $XDG_CONFIG_HOME when that is set).")
endif()
tavo_packaged_text(${PROJECT_SOURCE_DIR}/packaging/TavoRouterControl.ini TavoRouterControl.ini)

if(WIN32)
  # One flat folder: the program reads its settings file beside itself, and is copied, not installed.
  install(TARGETS TavoRouterControl TavoLampPicker RUNTIME DESTINATION . COMPONENT ${TAVO_INSTALL_COMPONENT})
  # Operators get a text of their own, not the developers' README.
  tavo_packaged_text(${PROJECT_SOURCE_DIR}/packaging/README-operators.txt README.txt)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/TavoRouterControl.ini ${CMAKE_BINARY_DIR}/packaging/README.txt
          DESTINATION . COMPONENT ${TAVO_INSTALL_COMPONENT})

  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(TAVO_PACKAGE_ARCH win64)
  else()
    set(TAVO_PACKAGE_ARCH win32)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME TavoRouterControl)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME TavoRouterControl-${PROJECT_VERSION}-${TAVO_PACKAGE_ARCH})
  # Unpacks into a folder of its own rather than into whatever folder the zip lies in.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_COMPONENTS_ALL ${TAVO_INSTALL_COMPONENT})
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
  # Symbols of the static runtime make up most of an unstripped program.
  set(CPACK_STRIP_FILES ON)
  include(CPack)
else()
  include(GNUInstallDirs)
  set(TAVO_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tavorouter-control)

  install(TARGETS TavoRouterControl TavoLampPicker RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT ${TAVO_INSTALL_COMPONENT})
  foreach(size 16 32)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/TavoRouterControl-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME tavorouter-control.png COMPONENT ${TAVO_INSTALL_COMPONENT})
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/tavorouter-control.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT ${TAVO_INSTALL_COMPONENT})

  # Autostart is an example, not installed into etc/xdg/autostart: there it would start for every
  # user at every login, and without its settings file each start ends in an error box. A user who
  # has written the settings copies it to ~/.config/autostart/.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/tavorouter-control-autostart.desktop
          DESTINATION ${TAVO_DOC_DIR}/autostart RENAME tavorouter-control.desktop
          COMPONENT ${TAVO_INSTALL_COMPONENT})
  install(FILES ${CMAKE_BINARY_DIR}/packaging/TavoRouterControl.ini ${PROJECT_SOURCE_DIR}/README.md
          DESTINATION ${TAVO_DOC_DIR} COMPONENT ${TAVO_INSTALL_COMPONENT})

  # The Debian package holds what the install above puts down, under /usr, and the two files every
  # package's documentation folder must have: its copyright and its changelog (gzip -9n: no name, no time).
  set(TAVO_DEB_DOC ${CMAKE_BINARY_DIR}/packaging/deb-doc)
  file(MAKE_DIRECTORY ${TAVO_DEB_DOC})
  file(COPY_FILE ${PROJECT_SOURCE_DIR}/packaging/copyright ${TAVO_DEB_DOC}/copyright ONLY_IF_DIFFERENT)
  string(TIMESTAMP TAVO_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  tavo_packaged_text(${PROJECT_SOURCE_DIR}/packaging/changelog changelog)
  execute_process(COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/packaging/changelog
                  OUTPUT_FILE ${TAVO_DEB_DOC}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${TAVO_DEB_DOC}/copyright ${TAVO_DEB_DOC}/changelog.gz DESTINATION ${TAVO_DOC_DIR}
          COMPONENT Debian EXCLUDE_FROM_ALL)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME tavorouter-control)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(TAVO_DEB_MAINTAINER "TavoRouterControl developers <tavorouter-control@example.org>" CACHE STRING
      "The Debian package's Maintainer: a name and a mail address")
  set(CPACK_PACKAGE_CONTACT ${TAVO_DEB_MAINTAINER})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tray utility switching a router from the panel software's unit lamps")
  set(CPACK_PACKAGE_DESCRIPTION "TavoRouterControl runs beside the remote-control panel software of a
broadcast control room and reads the colour of each unit's indicator lamp on
the screen. Whenever the selected unit changes, it sends that unit a control
block over its TCP control connection that sets its general-purpose output,
which drives the router wired to it. It needs an X11 session, shows a tray
icon and reads one settings file. TavoLampPicker finds the lamp positions
and colours.")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends: what the binaries link, as dpkg-shlibdeps finds it.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};${TAVO_INSTALL_COMPONENT};/"
                                   "${CMAKE_BINARY_DIR};${PROJECT_NAME};Debian;/")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # Folders 755 whatever the builder's umask (files get 644 or 755 from the install rules).
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                  WORLD_READ WORLD_EXECUTE)
  set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
  include(CPack)
endif()
