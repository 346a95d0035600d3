# Windows tree: the installer program, the demo payload programs and the Wine tests.
# The installer formats with runtime/text.h and calls no C run-time. No -fdata-sections:
# with it zero-initialised records such as the session take room in the file instead
# of in .bss.
set(INSTALLER_COMPILE_FLAGS -Os -fno-exceptions -fno-rtti -ffunction-sections
    -fno-asynchronous-unwind-tables -Wall -Wextra
    # Loops stay loops: GCC would otherwise turn some into calls of strlen, memset or
    # memcpy, which the installer program has only as far as runtime/memory.cpp goes.
    -fno-tree-loop-distribute-patterns
    # A function pointer cast to another signature (a WINAPI lost on the way) is
    # harmless on x86_64 and a broken stack on i686, where nothing here runs it.
    -Werror=cast-function-type)
set(PROGRAM_LINK_FLAGS -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp -Wl,--disable-dynamicbase)
set(DEMO_LINK_FLAGS ${PROGRAM_LINK_FLAGS} -Wl,--disable-reloc-section)
# The installer program keeps its base relocations: Win32s loads every program into
# one shared address space and moves it there.
set(STUB_LINK_FLAGS ${PROGRAM_LINK_FLAGS} -Wl,--enable-reloc-section)

# The tree records which Wine prefix its programs run in (win32 or win64, set by
# cmake/mingw.cmake from the triplet): the scripts and CTest's drive scripts read it
# from here instead of guessing from the compiler.
if(NOT SETUP32_WINE_ARCH)
  message(FATAL_ERROR "configure the Windows tree with -DCMAKE_TOOLCHAIN_FILE=cmake/mingw.cmake")
endif()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/wine-arch CONTENT "${SETUP32_WINE_ARCH}\n")

# What both sides share (cmake/packer.cmake), compiled with the installer's flags:
# the installer and the packer both link it.
target_compile_options(ovra_format PRIVATE ${INSTALLER_COMPILE_FLAGS})

# The scan would take any four marker bytes in a program packed as an installer
# (the installer program and the stand-ins the tests and benchmarks pack) for its
# first item: each is checked once it links.
function(check_no_marker target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/check-no-marker.sh $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# The installer library: the engine and the ui pieces behind engine/display.h.
# Nothing from packer/, so no compressor: a call into either fails to link.
add_library(ovra_installer STATIC ${RUNTIME_SOURCES} ${ENGINE_SOURCES} ${UI_SOURCES} ${SHELL_SOURCES})
target_compile_options(ovra_installer PRIVATE ${INSTALLER_COMPILE_FLAGS})
target_link_libraries(ovra_installer PUBLIC ovra_format comdlg32 gdi32 user32 kernel32)
target_include_directories(ovra_installer PUBLIC ${CMAKE_SOURCE_DIR})

# The packer library (cmake/packer.cmake) serves the Windows build of mksetup and the
# tests that pack installers.

# runtime/memory.cpp: the memory functions the compiler calls, for this program
# alone (the test programs take the C run-time's).
add_executable(setup32-stub WIN32 ui/app.cpp ui/entry.cpp runtime/memory.cpp resources/setup32.rc)
set_source_files_properties(runtime/memory.cpp PROPERTIES
  COMPILE_OPTIONS "-fno-builtin")
target_link_libraries(setup32-stub PRIVATE ovra_installer)
target_compile_options(setup32-stub PRIVATE ${INSTALLER_COMPILE_FLAGS})
# No MinGW start-up objects and no C run-time at all (-nostdlib): the program imports
# only KERNEL32, USER32, GDI32 and COMDLG32, which every Windows it is made for has
# (MSVCRT.DLL came later than NT 3.1 and the first Windows 95). libgcc is linked for
# the compiler's own helpers (the stack probe of large frames). The loader calls SetupStart, and cmake/setup32.ld folds the rest into a few
# sections. C names carry a leading underscore on i686 only.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SETUP_ENTRY _SetupStart)
  # NT 3.1 refuses a program that asks for a later subsystem version than its own.
  set(SETUP_VERSION -Wl,--subsystem,windows:3.10 -Wl,--major-os-version,3 -Wl,--minor-os-version,10)
else()
  set(SETUP_ENTRY SetupStart)
  set(SETUP_VERSION -Wl,--subsystem,windows)
endif()
# The map names every object the program links: the place to check what it carries.
# 512-byte file alignment is ld's default; older Windows versions need it, so say so.
target_link_options(setup32-stub PRIVATE ${STUB_LINK_FLAGS} ${SETUP_VERSION} -nostdlib
  -Wl,-e,${SETUP_ENTRY} -T ${CMAKE_SOURCE_DIR}/cmake/setup32.ld -Wl,--file-alignment,512
  -Wl,-Map=${CMAKE_BINARY_DIR}/setup32-stub.map)
# libgcc last, after every library that may call it.
target_link_libraries(setup32-stub PRIVATE ovra_format gcc)
set_target_properties(setup32-stub PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/setup32.ld)
set_target_properties(setup32-stub PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
check_no_marker(setup32-stub)

# The two tiny product programs of the demo payload.
foreach(prog ovra32 ovaux32)
  add_executable(${prog} WIN32 resources/demo/demo_app.cpp)
  target_compile_definitions(${prog} PRIVATE DEMO_PROGRAM_NAME="${prog}")
  target_compile_options(${prog} PRIVATE ${INSTALLER_COMPILE_FLAGS})
  target_link_options(${prog} PRIVATE ${DEMO_LINK_FLAGS} -mwindows)
  set_target_properties(${prog} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/demo)
endforeach()

# The packer also builds for Windows.
target_link_options(mksetup PRIVATE -static)

# Wine tests: one executable per concern, run through the emulator wrapper, each on
# the Wine test kit (tests/wine.cmake), which brings the installer and packer libraries.
function(wine_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE wine_test_kit gtest_main)
  target_link_options(${name} PRIVATE -static)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "WINEDEBUG=-all")
endfunction()

include(${CMAKE_SOURCE_DIR}/tests/wine.cmake)
include(${CMAKE_SOURCE_DIR}/bench/wine.cmake)

