# Fixtures of unit_platform, placed beside the test executable:
#   quenlixfixture (lib...so / .dll)  a loadable library with one export
#   brannic.dll        PE32 with a version resource, FILEVERSION 6.3.1.2
#   brannic64.dll      PE32+ with FILEVERSION 1.65535.256.7
#   noversion.dll      PE32 without a version resource
#   ldpath/brannic.dll PE32 with FILEVERSION 7.0.0.1 (library-path search)
# The PE fixtures are made with the mingw-w64 tools in every build, native
# too, because the version reader has to be proven on real images.
set(platform_fixture_dir ${test_output_dir})
set(platform_fixture_src ${CMAKE_CURRENT_LIST_DIR}/fixtures)

include(${PROJECT_SOURCE_DIR}/cmake/PeFixture.cmake)

set(platform_fixture_outputs "")
quenlix_pe_fixture(brannic.dll i686 "6;3;1;2")
quenlix_pe_fixture(brannic64.dll x86_64 "1;65535;256;7")
quenlix_pe_fixture(noversion.dll i686 NONE)
quenlix_pe_fixture(ldpath/brannic.dll i686 "7;0;0;1")
add_custom_target(unit_platform_pe_fixtures DEPENDS ${platform_fixture_outputs})
add_dependencies(${test_target} unit_platform_pe_fixtures)

add_library(unit_platform_load_fixture MODULE ${platform_fixture_src}/fixture_library.cpp)
set_target_properties(unit_platform_load_fixture PROPERTIES
  OUTPUT_NAME quenlixfixture
  LIBRARY_OUTPUT_DIRECTORY ${platform_fixture_dir}
  RUNTIME_OUTPUT_DIRECTORY ${platform_fixture_dir})
if(WIN32)
  set_target_properties(unit_platform_load_fixture PROPERTIES PREFIX "" SUFFIX ".dll")
  target_link_options(unit_platform_load_fixture PRIVATE -static)
endif()
add_dependencies(${test_target} unit_platform_load_fixture)
