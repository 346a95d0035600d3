# Native benchmarks.
add_executable(szdd_bench bench/szdd_bench.cpp)
target_link_libraries(szdd_bench PRIVATE ovra_packer ${MSPACK_LIBRARY})
