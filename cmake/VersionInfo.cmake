# A VERSIONINFO resource for each Windows DLL: product and file version from
# project(VERSION) in the top-level CMakeLists.txt, the commit in the file
# description. QUENLIX_COMMIT may be given (scripts/package does); otherwise
# it is read from git at configure time.
if(NOT QUENLIX_COMMIT)
  execute_process(COMMAND git rev-parse --short=12 HEAD WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE QUENLIX_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_rc ERROR_QUIET)
  if(NOT git_rc EQUAL 0 OR NOT QUENLIX_COMMIT)
    set(QUENLIX_COMMIT unknown)
  endif()
endif()
# A test build (the x86_64 one run under wine) says so in its flags: VS_FF_PRERELEASE.
option(QUENLIX_TEST_BUILD "Mark the DLLs' version resource as a test build" OFF)

function(quenlix_version_resource target description)
  set(QUENLIX_RC_NAME ${target})
  set(QUENLIX_RC_DESCRIPTION "${description}")
  set(QUENLIX_RC_FLAGS 0x0)
  if(QUENLIX_TEST_BUILD)
    set(QUENLIX_RC_DESCRIPTION "${description}, test build")
    set(QUENLIX_RC_FLAGS 0x2)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
