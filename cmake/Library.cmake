# The product: one shared library made of every module, exporting only the
# factory and the capability query (a .def file on Windows, visibility here).
find_package(Threads REQUIRED)
if(WIN32)
  target_link_libraries(quenlix_platform PUBLIC ws2_32 winhttp version)
else()
  target_link_libraries(quenlix_platform PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
  find_package(CURL QUIET)
  if(CURL_FOUND)
    target_link_libraries(quenlix_platform PUBLIC CURL::libcurl)
  endif()
endif()

set(module_libs "")
foreach(m ${QUENLIX_MODULES})
  get_target_property(type quenlix_${m} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    list(APPEND module_libs quenlix_${m})
  endif()
endforeach()

add_library(TavrikIPCapture SHARED ${PROJECT_SOURCE_DIR}/src/driver/library_entry.cc)
# Every module's objects go in whole: the exports are referenced by nobody
# inside the library, so a plain static link would drop them.
set(archives "")
foreach(lib ${module_libs})
  list(APPEND archives $<TARGET_FILE:${lib}>)
endforeach()
add_dependencies(TavrikIPCapture ${module_libs})
target_link_libraries(TavrikIPCapture PRIVATE -Wl,--whole-archive ${archives} -Wl,--no-whole-archive)
get_target_property(platform_libs quenlix_platform INTERFACE_LINK_LIBRARIES)
target_link_libraries(TavrikIPCapture PRIVATE ${platform_libs})
target_include_directories(TavrikIPCapture PUBLIC ${PROJECT_SOURCE_DIR}/include PRIVATE ${PROJECT_SOURCE_DIR}/src)
if(WIN32)
  set_target_properties(TavrikIPCapture PROPERTIES PREFIX "" SUFFIX ".dll")
  target_sources(TavrikIPCapture PRIVATE ${PROJECT_SOURCE_DIR}/src/driver/TavrikIPCapture.def)
  quenlix_version_resource(TavrikIPCapture "IP camera capture driver")
  target_link_options(TavrikIPCapture PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--enable-stdcall-fixup)
else()
  # Only the QUENLIX_EXPORT functions leave the library (modules are built
  # with hidden visibility, see CMakeLists.txt); the C++ runtime stays shared.
endif()

if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The DLL's tables must hold exactly the eight exports and system imports.
  find_program(QUENLIX_OBJDUMP NAMES ${CMAKE_CXX_COMPILER_TARGET}-objdump i686-w64-mingw32-objdump REQUIRED)
  add_custom_command(TARGET TavrikIPCapture POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${QUENLIX_OBJDUMP} -DDLL=$<TARGET_FILE:TavrikIPCapture>
            -P ${PROJECT_SOURCE_DIR}/cmake/CheckDllTables.cmake
    COMMENT "Checking the export and import tables of TavrikIPCapture.dll")
endif()
