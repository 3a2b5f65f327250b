# The stand-in header library: "Kelvardec.dll" for the product build, and
# libKelvardec.so natively, which the platform layer finds by the same name.
add_library(Kelvardec SHARED ${CMAKE_CURRENT_SOURCE_DIR}/kelvardec.cpp)
target_include_directories(Kelvardec PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_compile_definitions(Kelvardec PRIVATE KELVARDEC_BUILDING)
if(WIN32)
  target_sources(Kelvardec PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/kelvardec.def)
  set_target_properties(Kelvardec PROPERTIES PREFIX "" OUTPUT_NAME "Kelvardec" SUFFIX ".dll")
  target_link_options(Kelvardec PRIVATE -static-libgcc -static-libstdc++)
else()
  set_target_properties(Kelvardec PROPERTIES OUTPUT_NAME "Kelvardec" CXX_VISIBILITY_PRESET hidden)
endif()
