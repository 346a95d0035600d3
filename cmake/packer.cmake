# What both trees build from the same sources: what both sides share (ovra_format),
# the packer library (ovra_packer) and its command line (mksetup). Each tree then adds
# its own flags to them (cmake/native.cmake, cmake/target.cmake).
add_library(ovra_format STATIC ${FORMAT_SOURCES})
target_include_directories(ovra_format PUBLIC ${CMAKE_SOURCE_DIR})
add_library(ovra_packer STATIC ${PACKER_SOURCES})
target_link_libraries(ovra_packer PUBLIC ovra_format)
add_executable(mksetup packer/mksetup.cpp)
target_link_libraries(mksetup PRIVATE ovra_packer)
target_compile_definitions(mksetup PRIVATE MKSETUP_VERSION="${PROJECT_VERSION}")
