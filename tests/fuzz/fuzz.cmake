# Fuzz targets, replayed over their corpora under the sanitizers as ordinary tests
# (scripts/fuzz.sh builds them with libFuzzer for the long runs and grows the corpora).
function(fuzz_replay name)
  add_executable(${name}_replay tests/fuzz/${name}_fuzz.cpp tests/fuzz/replay_main.cpp ${ARGN})
  target_link_libraries(${name}_replay PRIVATE ovra_packer_san)
  target_compile_options(${name}_replay PRIVATE ${SANITIZE_FLAGS})
  add_test(NAME ${name}_fuzz_replay COMMAND ${name}_replay ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name})
endfunction()

fuzz_replay(szdd_expand)
fuzz_replay(scan_replay)
fuzz_replay(pathsplit engine/pathsplit.cpp)
fuzz_replay(ui_rules ui/rules.cpp)
