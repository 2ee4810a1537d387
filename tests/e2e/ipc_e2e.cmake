# The IPC client end to end: ipc_probe against the stand-in Discord, natively and under wine64
# with the win64 build (skipped while that build is missing). The wine lane keeps a prefix of
# its own, so its pipes meet no other test's stand-in. Included by tests/e2e/CMakeLists.txt.
find_program(BRIGHTRELAY_PYTHON3 NAMES python3 PATHS /usr/bin REQUIRED)
set(BRIGHTRELAY_WIN64_DIR ${PROJECT_SOURCE_DIR}/build/win64 CACHE PATH "Build folder of the win64 preset")

add_test(NAME e2e.ipc.native
  COMMAND ${BRIGHTRELAY_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/ipc_e2e.py --mode native
          --probe $<TARGET_FILE:ipc_probe> --fake-discord $<TARGET_FILE:fake_discord>)
add_test(NAME e2e.ipc.wine64
  COMMAND ${BRIGHTRELAY_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/ipc_e2e.py --mode wine
          --win64-dir ${BRIGHTRELAY_WIN64_DIR} --wineprefix ${CMAKE_CURRENT_BINARY_DIR}/wine/ipc)
set_tests_properties(e2e.ipc.native PROPERTIES LABELS "e2e;e2e-native;ipc" TIMEOUT 300)
set_tests_properties(e2e.ipc.wine64 PROPERTIES LABELS "e2e;e2e-wine64;ipc" TIMEOUT 600
  SKIP_RETURN_CODE 77)
