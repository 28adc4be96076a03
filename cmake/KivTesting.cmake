# kiv_add_test(NAME SOURCES files... LIBS targets... [LOGIC] [ENV k=v...])
# LOGIC marks unit tests of plain logic: they are also built and run in the
# sanitizer build. Everything else runs only in the normal build.
find_package(GTest QUIET)
include(GoogleTest)

function(kiv_add_test name)
  cmake_parse_arguments(T "LOGIC" "TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  if(KIV_SANITIZE AND NOT T_LOGIC)
    return()
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    KIV_TESTDATA="${PROJECT_SOURCE_DIR}/../shared/testdata"
    KIV_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KIV_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT ${T_TIMEOUT})
  # gtest_discover_tests splits a property value at ";", which would keep only
  # the first variable of the environment: set it on the discovered tests
  # (listed in ${name}_TESTS) by a script that runs after the discovery.
  set(env "QT_QPA_PLATFORM=offscreen" "XDG_RUNTIME_DIR=${PROJECT_BINARY_DIR}/xdg-runtime" ${T_ENV})
  set(env_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_env.cmake)
  file(WRITE ${env_file}
    "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES ENVIRONMENT \"${env}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${env_file})
endfunction()
