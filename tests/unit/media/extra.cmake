# The SPS writer's output is checked by the build machine's ffprobe, which a
# cross build of the tests cannot start.
if(NOT CMAKE_CROSSCOMPILING)
  target_compile_definitions(${test_target} PRIVATE QUENLIX_TEST_DECODER=1)
else()
  target_compile_definitions(${test_target} PRIVATE QUENLIX_TEST_DECODER=0)
endif()
