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
    PROPERTIES TIMEOUT ${T_TIMEOUT}
               ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${PROJECT_BINARY_DIR}/xdg-runtime;${T_ENV}")
endfunction()
