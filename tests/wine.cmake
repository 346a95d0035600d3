# Wine tests.
wine_test(progress_wine_test tests/wine/progress_test.cpp tests/wine/stand_in_window.cpp)
wine_test(lzexpand_wine_test tests/wine/lzexpand_test.cpp)
target_link_libraries(lzexpand_wine_test PRIVATE ovra_packer lz32)
wine_test(engine_wine_test tests/wine/engine_test.cpp tests/wine/engine_fixture.cpp tests/wine/msgbox_answerer.cpp
  tests/wine/stand_in_window.cpp)
target_link_libraries(engine_wine_test PRIVATE ovra_packer)
wine_test(placement_wine_test tests/wine/placement_test.cpp tests/wine/engine_fixture.cpp tests/wine/msgbox_answerer.cpp
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
