# Wine tests.
wine_test(progress_wine_test tests/wine/progress_test.cpp tests/wine/stand_in_window.cpp)
wine_test(lzexpand_wine_test tests/wine/lzexpand_test.cpp)
target_link_libraries(lzexpand_wine_test PRIVATE ovra_packer lz32)
wine_test(engine_wine_test tests/wine/engine_test.cpp tests/wine/engine_fixture.cpp tests/wine/file_tree.cpp tests/wine/msgbox_answerer.cpp
  tests/wine/stand_in_window.cpp)
target_link_libraries(engine_wine_test PRIVATE ovra_packer)
wine_test(placement_wine_test tests/wine/placement_test.cpp tests/wine/engine_fixture.cpp tests/wine/file_tree.cpp tests/wine/msgbox_answerer.cpp
  tests/wine/stand_in_window.cpp)
target_link_libraries(placement_wine_test PRIVATE ovra_packer)
# The scan tests pack this stand-in installer with payloads and run it; like the
# installer it links no packer.
add_executable(scan_harness tests/wine/scan_harness.cpp tests/wine/msgbox_answerer.cpp tests/wine/stand_in_window.cpp)
target_include_directories(scan_harness PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(scan_harness PRIVATE ovra_installer)
target_link_options(scan_harness PRIVATE -static -s -Wl,--gc-sections)
add_custom_command(TARGET scan_harness POST_BUILD
  COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/check-no-marker.sh $<TARGET_FILE:scan_harness> VERBATIM)
wine_test(scanner_wine_test tests/wine/scanner_test.cpp)
target_link_libraries(scanner_wine_test PRIVATE ovra_packer)
add_dependencies(scanner_wine_test scan_harness)
# The dialogs: their pure rules, and the real dialogs driven from outside through a
# stand-in host that the tests pack with a payload.
wine_test(ui_rules_wine_test tests/wine/ui_rules_test.cpp)
target_link_libraries(ui_rules_wine_test PRIVATE ovra_installer)
add_executable(dialog_host tests/wine/dialog_host.cpp resources/setup32.rc)
target_include_directories(dialog_host PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(dialog_host PRIVATE ovra_installer)
target_compile_options(dialog_host PRIVATE ${INSTALLER_COMPILE_FLAGS})
target_link_options(dialog_host PRIVATE -static -s -Wl,--gc-sections)
add_custom_command(TARGET dialog_host POST_BUILD
  COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/check-no-marker.sh $<TARGET_FILE:dialog_host> VERBATIM)
add_executable(dialog_wine_test tests/wine/dialog_test.cpp tests/wine/ui_driver.cpp tests/wine/file_tree.cpp)
target_include_directories(dialog_wine_test PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(dialog_wine_test PRIVATE ovra_installer ovra_packer gtest_main)
target_link_options(dialog_wine_test PRIVATE -static)
add_dependencies(dialog_wine_test dialog_host)
# Everything but the drive-type cases, which need a prefix of their own.
add_test(NAME dialog_wine_test COMMAND dialog_wine_test --gtest_filter=-DriveTypeTest.*)
set_tests_properties(dialog_wine_test PROPERTIES
  ENVIRONMENT "WINEDEBUG=-all;SETUP32_SCREENSHOTS=${CMAKE_BINARY_DIR}/screenshots")
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/screenshots)
add_test(NAME dialog_drive_types_wine_test
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/drive_types.sh $<TARGET_FILE:dialog_wine_test> ${CMAKE_BINARY_DIR})
# Program Manager commands: their texts, a stand-in server in another process, and
# Wine's own server in the prefix's explorer.exe.
add_executable(progman_server tests/wine/progman_server.cpp)
target_link_libraries(progman_server PRIVATE user32)
target_link_options(progman_server PRIVATE -static)
wine_test(progman_wine_test tests/wine/progman_test.cpp tests/wine/progman_peers.cpp tests/wine/engine_fixture.cpp tests/wine/file_tree.cpp
  tests/wine/msgbox_answerer.cpp tests/wine/stand_in_window.cpp)
target_link_libraries(progman_wine_test PRIVATE ovra_packer ole32 uuid shell32)
add_dependencies(progman_wine_test progman_server)
wine_test(shell_generation_wine_test tests/wine/shell_generation_test.cpp)
# The installer program itself, packed with a small payload at test time and driven
# through its real windows, against the stand-in server and Wine's own.
wine_test(program_wine_test tests/wine/program_test.cpp tests/wine/program_fixture.cpp tests/wine/file_tree.cpp tests/wine/ui_driver.cpp
  tests/wine/progman_peers.cpp)
target_link_libraries(program_wine_test PRIVATE ovra_packer ole32 uuid shell32)
add_dependencies(program_wine_test setup32-stub progman_server)
# Faults injected from outside while the real installer runs. The full and read-only
# drives need mounts, so those cases run in a prefix of their own from a wrapper.
add_executable(fault_wine_test tests/wine/fault_test.cpp tests/wine/program_fixture.cpp tests/wine/file_tree.cpp tests/wine/ui_driver.cpp
  tests/wine/progman_peers.cpp)
target_include_directories(fault_wine_test PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(fault_wine_test PRIVATE ovra_installer ovra_packer gtest_main ole32 uuid shell32)
target_link_options(fault_wine_test PRIVATE -static)
add_dependencies(fault_wine_test setup32-stub progman_server)
add_test(NAME fault_wine_test COMMAND fault_wine_test --gtest_filter=-MountedDriveTest.*)
set_tests_properties(fault_wine_test PROPERTIES ENVIRONMENT "WINEDEBUG=-all")
add_test(NAME fault_drives_wine_test
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/fault_drives.sh $<TARGET_FILE:fault_wine_test> ${CMAKE_BINARY_DIR})
# The Windows build of mksetup against the native one (out/, from scripts/build.sh).
add_test(NAME mksetup_windows_wine_test
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/mksetup_windows.sh $<TARGET_FILE:mksetup> ${CMAKE_SOURCE_DIR})
