# Wine tests.
wine_test(smoke_wine_test tests/wine/smoke_test.cpp)
