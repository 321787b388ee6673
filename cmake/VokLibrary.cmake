# vok_library(<name> [DEPS <lib>...])
#
# One library per folder: sources in src/, public headers in include/<name>/,
# unit tests in tests/. A library sees only the headers of the libraries it
# links, so the layer order is enforced by the link lists.
function(vok_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
    target_compile_options(${name} PRIVATE ${VOK_HARDENING})
  else()
    add_library(${name} INTERFACE)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/include)
      target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include)
    endif()
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()

  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(tests)
    add_executable(${name}_tests ${tests})
    target_link_libraries(${name}_tests PRIVATE ${name} testsupport ${ARG_TEST_DEPS} GTest::gtest GTest::gtest_main)
    target_include_directories(${name}_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
    gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60
                         PROPERTIES ENVIRONMENT "VOK_TEST_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
  endif()
endfunction()
