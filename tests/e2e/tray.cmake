# Tray scenario: icon, tooltip, menu picture and keyboard choices, About, single instance, a renamed copy
# beside the first, and Exit, for each build. Included from tests/e2e/CMakeLists.txt, which sets
# TAVO_E2E_WIN64_EXE and E2E_DIR. The screenshots stay in tray-artefacts/<build> of this folder.
add_test(NAME e2e-tray-linux
         COMMAND Python3::Interpreter ${E2E_DIR}/tray_e2e.py --build linux
                 --exe ${CMAKE_BINARY_DIR}/TavoRouterControl
                 --artefacts ${CMAKE_CURRENT_BINARY_DIR}/tray-artefacts/linux)
set_tests_properties(e2e-tray-linux PROPERTIES
  LABELS "e2e;e2e-tray;e2e-linux" TIMEOUT 90 SKIP_RETURN_CODE 77)

# Skips (77) when the Windows build is not there; shares the build folder's wine prefix, one test at a time.
add_test(NAME e2e-tray-win64
         COMMAND Python3::Interpreter ${E2E_DIR}/tray_e2e.py --build win64
                 --exe ${TAVO_E2E_WIN64_EXE}
                 --artefacts ${CMAKE_CURRENT_BINARY_DIR}/tray-artefacts/win64)
set_tests_properties(e2e-tray-win64 PROPERTIES
  LABELS "e2e;e2e-tray;e2e-win64" TIMEOUT 90 SKIP_RETURN_CODE 77
  RESOURCE_LOCK tavo-e2e-wine-prefix
  ENVIRONMENT TAVO_E2E_WINEPREFIX=${CMAKE_CURRENT_BINARY_DIR}/wine-prefix)
