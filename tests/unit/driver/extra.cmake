# Host core libraries of several versions, one directory each; the driver
# tests point the library search path at one of them before Open.
include(${PROJECT_SOURCE_DIR}/cmake/PeFixture.cmake)
set(platform_fixture_dir ${test_output_dir})
set(platform_fixture_outputs "")
quenlix_pe_fixture(host-5.11/brannic.dll i686 "5;11;0;0")
quenlix_pe_fixture(host-6.2.9.9/brannic.dll i686 "6;2;9;9")
quenlix_pe_fixture(host-6.3/brannic.dll i686 "6;3;0;0")
add_custom_target(unit_driver_host_fixtures DEPENDS ${platform_fixture_outputs})
add_dependencies(${test_target} unit_driver_host_fixtures)
target_compile_definitions(${test_target} PRIVATE
  QUENLIX_DRIVER_FIXTURES="${test_output_dir}")
