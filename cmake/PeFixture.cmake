# Small PE images with a version resource, made with the mingw-w64 tools in
# every build (native too): the version reader is proven on real images.
# quenlix_pe_fixture(name arch version) writes ${platform_fixture_dir}/name and
# appends it to platform_fixture_outputs in the caller's scope.
set(QUENLIX_PE_FIXTURE_SRC ${PROJECT_SOURCE_DIR}/tests/unit/platform/fixtures)
foreach(tool i686-w64-mingw32-windres i686-w64-mingw32-gcc x86_64-w64-mingw32-windres x86_64-w64-mingw32-gcc)
  string(MAKE_C_IDENTIFIER "QUENLIX_FIXTURE_${tool}" var)
  find_program(${var} ${tool})
  if(NOT ${var})
    message(FATAL_ERROR "unit_platform needs ${tool} to build its PE version fixtures "
                        "(Debian: binutils-mingw-w64-i686/-x86-64, gcc-mingw-w64-i686/-x86-64).")
  endif()
endforeach()

# name: output path relative to the fixture dir; arch: i686 or x86_64;
# version: four numbers, or NONE for an image without a version resource.
function(quenlix_pe_fixture name arch version)
  string(MAKE_C_IDENTIFIER "QUENLIX_FIXTURE_${arch}-w64-mingw32-windres" windres_var)
  string(MAKE_C_IDENTIFIER "QUENLIX_FIXTURE_${arch}-w64-mingw32-gcc" gcc_var)
  set(out ${platform_fixture_dir}/${name})
  string(MAKE_C_IDENTIFIER "${out}" id)
  set(obj ${CMAKE_CURRENT_BINARY_DIR}/platform_fixture_${id}.res.o)
  if(arch STREQUAL "i686")
    set(entry _BrannicEntry@12)
  else()
    set(entry BrannicEntry)
  endif()
  get_filename_component(out_dir ${out} DIRECTORY)
  set(link_cmd ${${gcc_var}} -shared -nostdlib -s -Wl,--entry,${entry} -o ${out} ${QUENLIX_PE_FIXTURE_SRC}/version_stub.c)
  if(version STREQUAL "NONE")
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
      COMMAND ${link_cmd}
      DEPENDS ${QUENLIX_PE_FIXTURE_SRC}/version_stub.c
      COMMENT "PE fixture ${name}" VERBATIM)
  else()
    list(GET version 0 major)
    list(GET version 1 minor)
    list(GET version 2 build)
    list(GET version 3 revision)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
      COMMAND ${${windres_var}} -DFIXTURE_MAJOR=${major} -DFIXTURE_MINOR=${minor} -DFIXTURE_BUILD=${build}
              -DFIXTURE_REVISION=${revision} -O coff -i ${QUENLIX_PE_FIXTURE_SRC}/version.rc -o ${obj}
      COMMAND ${link_cmd} ${obj}
      DEPENDS ${QUENLIX_PE_FIXTURE_SRC}/version_stub.c ${QUENLIX_PE_FIXTURE_SRC}/version.rc
      COMMENT "PE fixture ${name}" VERBATIM)
  endif()
  set(platform_fixture_outputs ${platform_fixture_outputs} ${out} PARENT_SCOPE)
endfunction()

