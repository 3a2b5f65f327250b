# The RTSP channel is tested against the camera simulator over loopback.
if(TARGET camsim_core)
  # A clip directory of its own, so as not to depend on the order in which
  # the test directories declare their steps.
  set(QUENLIX_MEDIA_DIR ${CMAKE_BINARY_DIR}/media-rtsp)
  if(NOT TARGET rtsp_media_clips)
    add_custom_command(
      OUTPUT ${QUENLIX_MEDIA_DIR}/h264_baseline_320x180.h264
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/make-media ${QUENLIX_MEDIA_DIR}
      DEPENDS ${PROJECT_SOURCE_DIR}/scripts/make-media
      COMMENT "Making the RTSP test clips")
    add_custom_target(rtsp_media_clips DEPENDS ${QUENLIX_MEDIA_DIR}/h264_baseline_320x180.h264)
  endif()
  add_dependencies(${test_target} rtsp_media_clips)
  target_link_libraries(${test_target} PRIVATE camsim_core)
  target_compile_definitions(${test_target} PRIVATE QUENLIX_MEDIA_DIR="${QUENLIX_MEDIA_DIR}" QUENLIX_WITH_CAMSIM=1)
endif()
