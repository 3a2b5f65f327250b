# The HTTP tests run the camera simulator inside the test process.
if(TARGET camsim_core)
  target_link_libraries(${test_target} PRIVATE camsim_core)
  target_compile_definitions(${test_target} PRIVATE QUENLIX_TEST_WITH_CAMSIM=1)
endif()
