# Reliability scenarios: misbehaving units beside well-behaved ones, and what the program must never
# do. Included from tests/e2e/CMakeLists.txt, which sets TAVO_E2E_WIN64_EXE, E2E_DIR and E2E_TOOLS.
# The restarting unit runs 20 s here; reliability_e2e.py --full runs it for a minute.
set(TAVO_RELIABILITY_SCENARIOS flood big-greeting dribble reset-mid-reply orderly-close silent backlog
    restarts vanish never)

foreach(scenario IN LISTS TAVO_RELIABILITY_SCENARIOS)
  add_test(NAME e2e-linux-reliability-${scenario}
           COMMAND Python3::Interpreter ${E2E_DIR}/reliability_e2e.py --build linux
                   --exe ${CMAKE_BINARY_DIR}/TavoRouterControl --tools ${E2E_TOOLS} --scenario ${scenario})
  set_tests_properties(e2e-linux-reliability-${scenario} PROPERTIES
    LABELS "e2e;e2e-reliability;e2e-linux" TIMEOUT 180 SKIP_RETURN_CODE 77)

  add_test(NAME e2e-win64-reliability-${scenario}
           COMMAND Python3::Interpreter ${E2E_DIR}/reliability_e2e.py --build win64
                   --exe ${TAVO_E2E_WIN64_EXE} --tools ${E2E_TOOLS} --scenario ${scenario})
  set_tests_properties(e2e-win64-reliability-${scenario} PROPERTIES
    LABELS "e2e;e2e-reliability;e2e-win64" TIMEOUT 240 SKIP_RETURN_CODE 77
    RESOURCE_LOCK tavo-e2e-wine-prefix
    ENVIRONMENT TAVO_E2E_WINEPREFIX=${CMAKE_CURRENT_BINARY_DIR}/wine-prefix)
endforeach()
