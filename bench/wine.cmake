# Wine benchmarks: run with scripts/bench.sh (not tests).
add_executable(scan_bench_stub bench/scan_bench_stub.cpp tests/wine/stand_in_window.cpp)
target_include_directories(scan_bench_stub PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(scan_bench_stub PRIVATE ovra_installer)
target_link_options(scan_bench_stub PRIVATE -static -s -Wl,--gc-sections)
# It is packed as the installer program, so it must not hold the marker either.
add_custom_command(TARGET scan_bench_stub POST_BUILD
  COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/check-no-marker.sh $<TARGET_FILE:scan_bench_stub> VERBATIM)

add_executable(scan_bench bench/scan_bench.cpp)
target_include_directories(scan_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(scan_bench PRIVATE ovra_installer ovra_packer)
target_link_options(scan_bench PRIVATE -static)
add_dependencies(scan_bench scan_bench_stub)

# A whole installation through the real installer program, timed from outside.
add_executable(install_bench bench/install_bench.cpp tests/wine/ui_driver.cpp tests/wine/file_tree.cpp)
target_include_directories(install_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(install_bench PRIVATE ovra_packer shell32)
target_link_options(install_bench PRIVATE -static)
add_dependencies(install_bench setup32-stub)
# Changed bytes over the whole payload of the real installer, each run under Wine;
# the test runs a few positions of each kind, scripts/bench.sh a dense sample.
add_executable(corruption_sweep bench/corruption_sweep.cpp tests/wine/program_fixture.cpp tests/wine/file_tree.cpp tests/wine/ui_driver.cpp)
target_include_directories(corruption_sweep PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests/wine)
target_link_libraries(corruption_sweep PRIVATE ovra_installer ovra_packer gtest_main)
target_link_options(corruption_sweep PRIVATE -static)
add_dependencies(corruption_sweep setup32-stub)
add_test(NAME corruption_sweep_wine_test COMMAND corruption_sweep)
set_tests_properties(corruption_sweep_wine_test PROPERTIES ENVIRONMENT "WINEDEBUG=-all")
