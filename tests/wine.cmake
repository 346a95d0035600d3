# Wine tests.
wine_test(smoke_wine_test tests/wine/smoke_test.cpp)
wine_test(lzexpand_wine_test tests/wine/lzexpand_test.cpp)
target_link_libraries(lzexpand_wine_test PRIVATE lz32)
