# Native tests.
native_test(pathsplit_test tests/pathsplit_test.cpp engine/pathsplit.cpp)
native_test(szdd_test tests/szdd_test.cpp)
native_test(packer_test tests/packer_test.cpp)
native_test(mksetup_cli_test tests/mksetup_cli_test.cpp)
# mksetup against files a hostile user leaves (root and another user, large non-programs).
native_test(mksetup_hostile_test tests/mksetup_hostile_test.cpp)
native_test(mksetup_progress_test tests/mksetup_progress_test.cpp)
# GCC 12 warns inside its own <regex> under the sanitizers (a false "may be used uninitialized").
target_compile_options(mksetup_progress_test PRIVATE -Wno-maybe-uninitialized)
native_test(szdd_peers_test tests/szdd_peers_test.cpp)
target_link_libraries(szdd_peers_test PRIVATE ${MSPACK_LIBRARY})
include(${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz.cmake)
native_test(marker_free_test tests/marker_free_test.cpp)
# Signing runs osslsigncode and openssl on the demo installer that scripts/build.sh makes.
native_test(signing_test tests/signing_test.cpp)
set_property(TEST signing_test APPEND PROPERTY ENVIRONMENT "SETUP32_DEMO_DIR=${CMAKE_SOURCE_DIR}/out")
# The installed tool, its Debian package and its manual page (after scripts/build.sh).
add_test(NAME install_test
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/install_test.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${PROJECT_VERSION})
# The i686 program as it ships, read beside the x86_64 build the Wine tests run
# (both made by scripts/build.sh in the trees next to this one).
native_test(shipped_program_test tests/shipped_program_test.cpp)
set_property(TEST shipped_program_test APPEND PROPERTY ENVIRONMENT
  "SETUP32_I686_STUB=${CMAKE_BINARY_DIR}/../target/setup32-stub.exe"
  "SETUP32_X64_STUB=${CMAKE_BINARY_DIR}/../target64/setup32-stub.exe")
native_test(runtime_text_test tests/runtime_text_test.cpp runtime/text.cpp)
# Unoptimised, so the sanitizers see every read of a format: an optimiser drops a read
# past the end whose value goes unused, and the test would pass by luck.
target_compile_options(runtime_text_test PRIVATE -O0)
