# Native tree: the publisher's tools, the portable code under sanitizers, benchmarks.
set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} -Wall -Wextra")
set(SANITIZE_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
# The fuzzing tree (build/fuzz, made by scripts/fuzz.sh with clang): the sanitized
# libraries also carry libFuzzer's coverage, and the fuzz targets of tests/fuzz are
# built from them (target fuzz_targets).
option(SETUP32_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
if(SETUP32_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "SETUP32_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()
  list(APPEND SANITIZE_FLAGS -fsanitize=fuzzer-no-link)
endif()

# What both sides share, and the packer on top of it (cmake/packer.cmake), each also
# built under the sanitizers for the tests.
add_library(ovra_format_san STATIC ${FORMAT_SOURCES})
target_include_directories(ovra_format_san PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(ovra_format_san PUBLIC ${SANITIZE_FLAGS})
target_link_options(ovra_format_san PUBLIC ${SANITIZE_FLAGS})
add_library(ovra_packer_san STATIC ${PACKER_SOURCES})
target_link_libraries(ovra_packer_san PUBLIC ovra_format_san)

set_target_properties(mksetup PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# What a publisher installs: the tool, the i686 installer program it packs by
# default (built in the Windows tree beside this one), and the manual page.
set(SETUP32_STUB "${CMAKE_BINARY_DIR}/../target/setup32-stub.exe" CACHE FILEPATH
    "The i686 installer program installed with mksetup")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/mksetup.1.gz
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/docs/mksetup.1 > ${CMAKE_BINARY_DIR}/mksetup.1.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/docs/mksetup.1 VERBATIM)
add_custom_target(mksetup_manual ALL DEPENDS ${CMAKE_BINARY_DIR}/mksetup.1.gz)
install(TARGETS mksetup RUNTIME DESTINATION bin)
install(FILES ${SETUP32_STUB} DESTINATION share/setup32)
install(FILES ${CMAKE_BINARY_DIR}/mksetup.1.gz DESTINATION share/man/man1)

# The Debian package of the packer (cpack -G DEB in this tree).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mksetup)
set(CPACK_PACKAGE_VENDOR "Ovra")
set(CPACK_PACKAGE_CONTACT "Ovra installer team <setup32@ovra.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packer for the single-file Ovra v5.3 installer")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS osslsigncode)
include(CPack)

find_library(MSPACK_LIBRARY mspack REQUIRED)

# Native tests: one executable per concern, run directly.
function(native_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE ovra_packer_san gtest_main)
  target_compile_options(${name} PRIVATE ${SANITIZE_FLAGS})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT
    "SETUP32_SOURCE_DIR=${CMAKE_SOURCE_DIR};SETUP32_MKSETUP=$<TARGET_FILE:mksetup>;ASAN_OPTIONS=detect_leaks=1")
endfunction()

include(${CMAKE_SOURCE_DIR}/tests/native.cmake)
include(${CMAKE_SOURCE_DIR}/bench/native.cmake)
