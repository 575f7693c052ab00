# lumidex_library(NAME DIR [DEPS ...]): one static library per source folder.
# Sources are every .cpp below the folder (sub-folders included; linux/ holds the Linux implementations of seams).
function(lumidex_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
    -Wold-style-cast -Wcast-align -Wunused -Woverloaded-virtual -Werror)
  # GCC 12 at -O3 reports false -Wrestrict overlaps inside std::string; keep them visible, not fatal.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-error=restrict)
  endif()
endfunction()

function(lumidex_library name)
  cmake_parse_arguments(ARG "" "" "PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  if(NOT srcs)
    # A folder whose first sources have not landed yet still yields a usable target.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE "${PROJECT_SOURCE_DIR}/src")
    target_link_libraries(${name} INTERFACE ${ARG_PUBLIC_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  lumidex_warnings(${name})
endfunction()

# lumidex_test(NAME [SET_ENV VAR=value] DEPS...): one GoogleTest binary from every .cpp below the current
# folder; SET_ENV sets one more variable in its tests' environment.
function(lumidex_test name)
  cmake_parse_arguments(ARG "" "SET_ENV" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} lumidex_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  lumidex_warnings(${name})
  set(more_env "")
  if(ARG_SET_ENV)
    string(REPLACE "=" "=set:" modification "${ARG_SET_ENV}")
    set(more_env ENVIRONMENT_MODIFICATION "${modification}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "OMP_THREAD_LIMIT=1" TIMEOUT 120 ${more_env})
endfunction()
