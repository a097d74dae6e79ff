# qz_add_test(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>] [LABELS <labels...>]
#             [DEPENDS <targets...>] [FUNCTIONS <test functions...>] [COST <seconds>])
# One QtTest executable linked against the libraries it tests, registered with CTest,
# run offscreen. Fixture and tool paths reach the test as compile definitions:
#   QZ_SOURCE_DIR  the source tree (for committed fixtures)
#   QZ_BINARY_DIR  the build tree (tools such as qzsim live in QZ_BINARY_DIR/tools/...)
# With FUNCTIONS, each named test function is a CTest test of its own (<name>.<function>), so
# long suites that mostly wait on real timers run side by side. COST (about how many seconds each
# test takes) makes CTest start the long ones first, so none of them is left to run alone at the end.
function(qz_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT;COST" "SOURCES;LIBS;LABELS;DEPENDS;FUNCTIONS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test qz_testsupport ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    QZ_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    QZ_BINARY_DIR="${PROJECT_BINARY_DIR}")
  qz_test_defines(${name})
  qz_use_test_pch(${name})
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  set(tests)
  if(T_FUNCTIONS)
    foreach(f ${T_FUNCTIONS})
      add_test(NAME ${name}.${f} COMMAND ${name} ${f})
      list(APPEND tests ${name}.${f})
    endforeach()
  else()
    add_test(NAME ${name} COMMAND ${name})
    set(tests ${name})
  endif()
  set_tests_properties(${tests} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;QT_LOGGING_RULES=qt.qpa.*=false")
  if(T_COST)
    set_tests_properties(${tests} PROPERTIES COST ${T_COST})
  endif()
  if(T_LABELS)
    set_tests_properties(${tests} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
