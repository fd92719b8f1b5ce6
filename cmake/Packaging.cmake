# What gets installed, and the Windows zip.
#   Windows: cmake --build --preset win32 --target package   (and win64) -> build/<preset>/TavoRouterControl-<version>-<arch>.zip
#   Linux:   cmake --install build/linux [--prefix DIR]
# Included at the end of the top-level CMakeLists.txt, when every target exists.

# One component, so that install rules other folders may bring along stay out of the zip.
set(TAVO_INSTALL_COMPONENT TavoRouterControl)

if(WIN32)
  # One flat folder: the program reads its settings file beside itself, and is copied, not installed.
  install(TARGETS TavoRouterControl RUNTIME DESTINATION . COMPONENT ${TAVO_INSTALL_COMPONENT})
  if(TARGET TavoLampPicker)
    install(TARGETS TavoLampPicker RUNTIME DESTINATION . COMPONENT ${TAVO_INSTALL_COMPONENT})
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/TavoRouterControl.ini DESTINATION .
          COMPONENT ${TAVO_INSTALL_COMPONENT})

  # The README as README.txt with Windows line ends: a double click opens it in Notepad.
  set(TAVO_README_TXT ${CMAKE_BINARY_DIR}/packaging/README.txt)
  file(READ ${CMAKE_SOURCE_DIR}/README.md TAVO_README_TEXT)
  string(REPLACE "\r\n" "\n" TAVO_README_TEXT "${TAVO_README_TEXT}")
  string(REPLACE "\n" "\r\n" TAVO_README_TEXT "${TAVO_README_TEXT}")
  file(WRITE ${TAVO_README_TXT}.new "${TAVO_README_TEXT}")
  file(COPY_FILE ${TAVO_README_TXT}.new ${TAVO_README_TXT} ONLY_IF_DIFFERENT)
  file(REMOVE ${TAVO_README_TXT}.new)
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)
  install(FILES ${TAVO_README_TXT} DESTINATION . COMPONENT ${TAVO_INSTALL_COMPONENT})

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

  install(TARGETS TavoRouterControl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT ${TAVO_INSTALL_COMPONENT})
  if(TARGET TavoLampPicker)
    install(TARGETS TavoLampPicker RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT ${TAVO_INSTALL_COMPONENT})
  endif()
  foreach(size 16 32)
    install(FILES ${CMAKE_SOURCE_DIR}/resources/TavoRouterControl-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME tavorouter-control.png COMPONENT ${TAVO_INSTALL_COMPONENT})
  endforeach()
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tavorouter-control.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT ${TAVO_INSTALL_COMPONENT})

  # Autostart is an example, not installed into etc/xdg/autostart: there it would start for every
  # user at every login, and without its settings file beside the program each start ends in an
  # error box. A user who has written the settings copies it to ~/.config/autostart/.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tavorouter-control-autostart.desktop
          DESTINATION ${TAVO_DOC_DIR}/autostart RENAME tavorouter-control.desktop
          COMPONENT ${TAVO_INSTALL_COMPONENT})
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/TavoRouterControl.ini ${CMAKE_SOURCE_DIR}/README.md
          DESTINATION ${TAVO_DOC_DIR} COMPONENT ${TAVO_INSTALL_COMPONENT})
endif()
