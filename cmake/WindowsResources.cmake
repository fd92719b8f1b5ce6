# What the Windows resource scripts take from the project: the manifest's processor architecture, the
# copyright line (the program's own text, so the file properties say what the About box says) and the
# icon. Included by each folder that builds a Windows executable.
enable_language(RC)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TAVO_MANIFEST_ARCH amd64)
else()
  set(TAVO_MANIFEST_ARCH x86)
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/src/core/Texts.h TAVO_COPYRIGHT_LINE REGEX "CopyrightNotice = \"")
string(REGEX REPLACE ".*CopyrightNotice = \"([^\"]*)\".*" "\\1" TAVO_COPYRIGHT "${TAVO_COPYRIGHT_LINE}")
if(TAVO_COPYRIGHT STREQUAL "" OR TAVO_COPYRIGHT STREQUAL TAVO_COPYRIGHT_LINE)
  message(FATAL_ERROR "No CopyrightNotice = \"...\" line found in src/core/Texts.h")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/core/Texts.h)
set(TAVO_ICON_FILE ${PROJECT_SOURCE_DIR}/resources/TavoRouterControl.ico)
