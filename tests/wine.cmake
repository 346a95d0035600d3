# Wine tests, and the kit they share with the Windows benchmarks and helper programs.

# The Wine test kit: programs driven from outside (ui_driver), the prefix and the Unix
# side behind it, test files and folders, Wine's group folder, the captions and texts
# the tests expect, the stand-in Install window and box answerer, the Program Manager
# peers, and the fixtures for a packed program and for the engine on real files. A
# static library: each program takes only the objects it calls, so the stand-ins that
# are packed as installers take nothing of the packer (check-no-marker.sh checks each).
add_library(wine_test_kit STATIC
  tests/wine/file_tree.cpp tests/wine/prefix.cpp tests/wine/ui_driver.cpp tests/wine/group_folder.cpp
  tests/wine/stand_in_window.cpp tests/wine/msgbox_answerer.cpp tests/wine/progman_peers.cpp
  tests/wine/packed_program.cpp tests/wine/program_fixture.cpp tests/wine/engine_fixture.cpp)
target_include_directories(wine_test_kit PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(wine_test_kit PUBLIC ovra_installer ovra_packer gtest ole32 uuid shell32)

# The walk-through of the demo installer that scripts/run.sh runs when there is no
# display: it drives the installer from outside with the kit and takes the screenshots.
add_executable(demo_walkthrough tests/wine/demo_walkthrough.cpp)
target_link_libraries(demo_walkthrough PRIVATE wine_test_kit)
target_link_options(demo_walkthrough PRIVATE -static)

wine_test(progress_wine_test tests/wine/progress_test.cpp)
wine_test(stream_wine_test tests/wine/stream_test.cpp)
wine_test(lzexpand_wine_test tests/wine/lzexpand_test.cpp)
target_link_libraries(lzexpand_wine_test PRIVATE lz32)
wine_test(engine_wine_test tests/wine/engine_test.cpp)
wine_test(placement_wine_test tests/wine/placement_test.cpp)
# The scan tests pack this stand-in installer with payloads and run it; like the
# installer it calls nothing of the packer.
add_executable(scan_harness tests/wine/scan_harness.cpp)
target_link_libraries(scan_harness PRIVATE wine_test_kit)
target_link_options(scan_harness PRIVATE -static -s -Wl,--gc-sections)
check_no_marker(scan_harness)
wine_test(scanner_wine_test tests/wine/scanner_test.cpp)
add_dependencies(scanner_wine_test scan_harness)
# The dialogs: their pure rules, and the real dialogs driven from outside through a
# stand-in host that the tests pack with a payload.
wine_test(ui_rules_wine_test tests/wine/ui_rules_test.cpp)
add_executable(dialog_host tests/wine/dialog_host.cpp resources/setup32.rc)
target_include_directories(dialog_host PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(dialog_host PRIVATE ovra_installer)
# The host prints its report with msvcrt's own printf rather than mingw's C99 one:
# libstdc++ switches the C99 one on in any C++ header, so stdio.h is read first.
target_compile_options(dialog_host PRIVATE ${INSTALLER_COMPILE_FLAGS} -D__USE_MINGW_ANSI_STDIO=0 -include stdio.h)
target_link_options(dialog_host PRIVATE -static -s -Wl,--gc-sections)
check_no_marker(dialog_host)
add_executable(dialog_wine_test tests/wine/dialog_test.cpp)
target_link_libraries(dialog_wine_test PRIVATE wine_test_kit gtest_main)
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
wine_test(progman_wine_test tests/wine/progman_test.cpp)
add_dependencies(progman_wine_test progman_server)
wine_test(shell_generation_wine_test tests/wine/shell_generation_test.cpp)
# The application shell in the test's own process: its WinMain, with the installer's
# resources, so the Install dialog and the Host icon come from the test program.
wine_test(app_wine_test tests/wine/app_test.cpp ui/app.cpp resources/setup32.rc)
# The installer program itself, packed with a small payload at test time and driven
# through its real windows, against the stand-in server and Wine's own.
wine_test(program_wine_test tests/wine/program_test.cpp)
add_dependencies(program_wine_test setup32-stub progman_server ctl3d_full ctl3d_lacking)
# The same, one whole installation with Wine's call trace read from outside: the
# installer calls no C run-time DLL.
add_test(NAME c_runtime_free_wine_test
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/c_runtime_free_run.sh $<TARGET_FILE:program_wine_test> ${CMAKE_BINARY_DIR})
# Stand-ins for Ctl3d32.dll that log the calls they get, put beside the installer by the
# shell-generation test: one with the three functions, one without Ctl3dAutoSubclass.
# Each is ctl3d32.dll in a folder of its own.
foreach(kind full lacking)
  add_library(ctl3d_${kind} MODULE tests/wine/ctl3d_stand_in.cpp)
  set_target_properties(ctl3d_${kind} PROPERTIES OUTPUT_NAME ctl3d32 PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/ctl3d_${kind})
  # Undecorated export names on i686 too, as the program looks them up.
  target_link_options(ctl3d_${kind} PRIVATE -static -s -Wl,--kill-at)
endforeach()
target_compile_definitions(ctl3d_lacking PRIVATE CTL3D_LACKING)
# Faults injected from outside while the real installer runs. The full and read-only
# drives need mounts, so those cases run in a prefix of their own from a wrapper.
add_executable(fault_wine_test tests/wine/fault_test.cpp)
target_link_libraries(fault_wine_test PRIVATE wine_test_kit gtest_main)
target_link_options(fault_wine_test PRIVATE -static)
add_dependencies(fault_wine_test setup32-stub progman_server)
add_test(NAME fault_wine_test COMMAND fault_wine_test --gtest_filter=-MountedDriveTest.*)
set_tests_properties(fault_wine_test PROPERTIES ENVIRONMENT "WINEDEBUG=-all")
add_test(NAME fault_drives_wine_test
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/fault_drives.sh $<TARGET_FILE:fault_wine_test> ${CMAKE_BINARY_DIR})
# Changed bytes over the whole payload of the real installer, each run under Wine;
# the test runs a few positions of each kind, scripts/bench.sh a dense sample.
add_executable(corruption_sweep tests/wine/corruption_sweep.cpp)
target_link_libraries(corruption_sweep PRIVATE wine_test_kit gtest_main)
target_link_options(corruption_sweep PRIVATE -static)
add_dependencies(corruption_sweep setup32-stub)
add_test(NAME corruption_sweep_wine_test COMMAND corruption_sweep)
set_tests_properties(corruption_sweep_wine_test PROPERTIES ENVIRONMENT "WINEDEBUG=-all")
# The Windows build of mksetup against the native one (out/, from scripts/build.sh).
add_test(NAME mksetup_windows_wine_test
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/mksetup_windows.sh $<TARGET_FILE:mksetup> ${CMAKE_SOURCE_DIR})
# A publisher's own installer run here by scripts/run.sh --installer (out/, from
# scripts/build.sh), in a prefix of its own kept in this tree.
add_test(NAME run_installer_wine_test
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/run_installer.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})

# What the emulated guest runs by default (scripts/test-i686-in-guest.sh): every
# whole-program test (the packed installer started, driven and checked), the Program
# Manager commands against Wine's own server, and the in-process ones that are cheap
# there. Left to its --all: the drive-type and full-drive cases (each makes a prefix of
# its own), the traced installation, the corruption sweep, the Windows mksetup and the
# publisher's installer through scripts/run.sh.
set_tests_properties(program_wine_test dialog_wine_test fault_wine_test app_wine_test shell_generation_wine_test
  engine_wine_test placement_wine_test lzexpand_wine_test progress_wine_test ui_rules_wine_test stream_wine_test
  scanner_wine_test progman_wine_test PROPERTIES LABELS guest)
