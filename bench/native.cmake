# Native benchmarks.
add_executable(szdd_bench bench/szdd_bench.cpp)
target_link_libraries(szdd_bench PRIVATE ovra_packer ${MSPACK_LIBRARY})
# What takes the room in the installer program.
add_executable(size_bench bench/size_bench.cpp)
target_link_libraries(size_bench PRIVATE ovra_packer)
# Items whose data holds the marker letters.
add_executable(marker_bench bench/marker_bench.cpp)
target_link_libraries(marker_bench PRIVATE ovra_packer)
