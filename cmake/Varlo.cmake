include(GoogleTest)

# varlo_module(<target> DEPS <targets...>)
# A static library of every .cpp in the calling folder (main.cpp excepted), so adding a source file
# needs no edit here. A folder without sources yet becomes an interface library.
function(varlo_module target)
  cmake_parse_arguments(M "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(sources)
    add_library(${target} STATIC ${sources})
    target_link_libraries(${target} PUBLIC ${M_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${M_DEPS})
  endif()
endfunction()

# varlo_tools(DEPS <targets...>)
# One executable per .cpp in the calling folder, named after the file.
function(varlo_tools)
  cmake_parse_arguments(T "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(source ${sources})
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE ${T_DEPS})
  endforeach()
endfunction()

# varlo_test_suite(<target> LIBS <targets...> [THREADED])
# A GoogleTest executable of every .cpp in the calling folder. THREADED suites also run under
# ThreadSanitizer in the test command.
function(varlo_test_suite target)
  cmake_parse_arguments(S "THREADED" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE ${S_LIBS} GTest::gmock GTest::gtest_main)
  if(S_THREADED)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 120 PROPERTIES LABELS threaded)
  else()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 120)
  endif()
endfunction()

# Adds every immediate sub-folder of the calling folder that has a CMakeLists.txt. Targets are
# resolved by name at generate time, so the order of folders does not matter.
function(varlo_add_subfolders)
  file(GLOB entries LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(entry ${entries})
    if(IS_DIRECTORY ${entry} AND EXISTS ${entry}/CMakeLists.txt)
      add_subdirectory(${entry})
    endif()
  endforeach()
endfunction()
