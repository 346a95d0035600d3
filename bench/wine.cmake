# Wine benchmarks: run with scripts/bench.sh (not tests).
add_executable(scan_bench_stub bench/scan_bench_stub.cpp)
target_link_libraries(scan_bench_stub PRIVATE wine_test_kit)
target_link_options(scan_bench_stub PRIVATE -static -s -Wl,--gc-sections)
# It is packed as the installer program, so it must not hold the marker either.
check_no_marker(scan_bench_stub)

add_executable(scan_bench bench/scan_bench.cpp)
target_link_libraries(scan_bench PRIVATE wine_test_kit)
target_link_options(scan_bench PRIVATE -static)
add_dependencies(scan_bench scan_bench_stub)

# A whole installation through the real installer program, timed from outside.
add_executable(install_bench bench/install_bench.cpp)
target_link_libraries(install_bench PRIVATE wine_test_kit)
target_link_options(install_bench PRIVATE -static)
add_dependencies(install_bench setup32-stub)
