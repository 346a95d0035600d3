# Native tests.
native_test(pathsplit_test tests/pathsplit_test.cpp)
