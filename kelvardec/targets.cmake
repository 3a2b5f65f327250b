# The stand-in header library: "Kelvardec.dll" for the product build, and
# libKelvardec.so natively, which the platform layer finds by the same name.
add_library(Kelvardec SHARED ${CMAKE_CURRENT_SOURCE_DIR}/kelvardec.cpp)
target_include_directories(Kelvardec PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_compile_definitions(Kelvardec PRIVATE KELVARDEC_BUILDING)
if(WIN32)
  target_sources(Kelvardec PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/kelvardec.def)
  quenlix_version_resource(Kelvardec "MPEG-4 header reader")
  set_target_properties(Kelvardec PROPERTIES PREFIX "" OUTPUT_NAME "Kelvardec" SUFFIX ".dll")
  target_link_options(Kelvardec PRIVATE -static-libgcc -static-libstdc++)
else()
  set_target_properties(Kelvardec PROPERTIES OUTPUT_NAME "Kelvardec" CXX_VISIBILITY_PRESET hidden)
endif()

if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  # Hosts look the reader up by either name: both must be in the table.
  find_program(QUENLIX_OBJDUMP NAMES ${CMAKE_CXX_COMPILER_TARGET}-objdump i686-w64-mingw32-objdump REQUIRED)
  add_custom_command(TARGET Kelvardec POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${QUENLIX_OBJDUMP} -DDLL=$<TARGET_FILE:Kelvardec>
            "-DEXPORTS=ParseMpegHeader,_ParseMpegHeader@16"
            -P ${PROJECT_SOURCE_DIR}/cmake/CheckDllTables.cmake
    COMMENT "Checking the export and import tables of Kelvardec.dll")
endif()
