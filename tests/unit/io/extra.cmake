# The I/O tests talk to the camera simulator's HTTP server in-process. Where
# the simulator is not built (cross builds), only the parser tests remain.
if(TARGET camsim_core)
  target_link_libraries(${test_target} PRIVATE camsim_core)
else()
  get_target_property(io_test_srcs ${test_target} SOURCES)
  list(FILTER io_test_srcs EXCLUDE REGEX "camsim")
  set_property(TARGET ${test_target} PROPERTY SOURCES ${io_test_srcs})
endif()
