# Fuzz targets, replayed over their corpora under the sanitizers as ordinary tests. In
# the fuzzing tree (SETUP32_FUZZ, see cmake/native.cmake) each is also built with
# libFuzzer from the same sources and libraries, into fuzz/ of the tree, where
# scripts/fuzz.sh runs every one for the long runs and grows the corpora.
if(SETUP32_FUZZ)
  add_custom_target(fuzz_targets)
endif()

function(fuzz_target name)
  add_executable(${name}_replay tests/fuzz/${name}_fuzz.cpp tests/fuzz/replay_main.cpp ${ARGN})
  target_link_libraries(${name}_replay PRIVATE ovra_packer_san)
  target_compile_options(${name}_replay PRIVATE ${SANITIZE_FLAGS})
  add_test(NAME ${name}_fuzz_replay COMMAND ${name}_replay ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name})
  if(SETUP32_FUZZ)
    add_executable(${name}_fuzz tests/fuzz/${name}_fuzz.cpp ${ARGN})
    target_link_libraries(${name}_fuzz PRIVATE ovra_packer_san)
    target_compile_options(${name}_fuzz PRIVATE ${SANITIZE_FLAGS} -fsanitize=fuzzer)
    target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
    set_target_properties(${name}_fuzz PROPERTIES OUTPUT_NAME ${name}
      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
    add_dependencies(fuzz_targets ${name}_fuzz)
  endif()
endfunction()

fuzz_target(szdd_expand)
fuzz_target(scan_replay)
fuzz_target(pathsplit engine/pathsplit.cpp)
fuzz_target(ui_rules ui/rules.cpp runtime/text.cpp)
