# Clips for the clip-stream tests, made once into the build tree. The header
# library stand-in is copied beside the test executable, where the platform
# layer looks for it.
set(QUENLIX_MEDIA_DIR ${CMAKE_BINARY_DIR}/media)
add_custom_command(
  OUTPUT ${QUENLIX_MEDIA_DIR}/mpeg4_352x288.m4v
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/make-media ${QUENLIX_MEDIA_DIR}
  DEPENDS ${PROJECT_SOURCE_DIR}/scripts/make-media
  COMMENT "Making the media test clips")
add_custom_target(media_clips DEPENDS ${QUENLIX_MEDIA_DIR}/mpeg4_352x288.m4v)
add_dependencies(${test_target} media_clips)
target_compile_definitions(${test_target} PRIVATE QUENLIX_MEDIA_DIR="${QUENLIX_MEDIA_DIR}")
if(TARGET Kelvardec)
  add_dependencies(${test_target} Kelvardec)
  add_custom_command(TARGET ${test_target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:Kelvardec> ${test_output_dir}/
    COMMENT "Putting the header library beside ${test_target}")
endif()
if(NOT CMAKE_CROSSCOMPILING)
  target_compile_definitions(${test_target} PRIVATE QUENLIX_TEST_DECODER=1)
else()
  target_compile_definitions(${test_target} PRIVATE QUENLIX_TEST_DECODER=0)
endif()
# The clip-stream tests cut their clips with the camera simulator's packetizer,
# which is built where the simulator is.
if(TARGET camsim_core)
  target_link_libraries(${test_target} PRIVATE camsim_core)
  target_compile_definitions(${test_target} PRIVATE QUENLIX_TEST_WITH_CAMSIM=1)
endif()
