if(KESTRIX_ASAN AND KESTRIX_TSAN)
  message(FATAL_ERROR "KESTRIX_ASAN and KESTRIX_TSAN cannot be combined")
endif()
if(KESTRIX_ASAN)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KESTRIX_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# kst_add_test(NAME SOURCES... LIBS ...): one GoogleTest binary registered with CTest.
# LOCK names a resource the binary's tests take one at a time (a fixed
# loopback address and port, say), so ctest -j never runs two of them at once.
function(kst_add_test name)
  cmake_parse_arguments(T "" "LOCK" "SOURCES;LIBS" ${ARGN})
  # While files are being written a test may name a source that is not there
  # yet; outside strict mode (which scripts/test.sh uses) that test is skipped
  # with a warning instead of stopping the whole configure.
  foreach(src IN LISTS T_SOURCES)
    if(NOT IS_ABSOLUTE ${src})
      set(src ${CMAKE_CURRENT_SOURCE_DIR}/${src})
    endif()
    if(NOT EXISTS ${src})
      if(KESTRIX_STRICT)
        message(FATAL_ERROR "${name}: missing source ${src}")
      endif()
      message(WARNING "${name}: missing source ${src}; test skipped")
      return()
    endif()
  endforeach()
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/platform/testing/TestMain.cpp)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  if(T_LOCK)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 RESOURCE_LOCK ${T_LOCK})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endif()
endfunction()
if(KESTRIX_FUZZ)
  # Everything the fuzz targets link is instrumented for coverage and checked
  # by the sanitizers; only the targets themselves link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
