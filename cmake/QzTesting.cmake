# qz_add_test(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>] [LABELS <labels...>])
# One QtTest executable linked against the libraries it tests, registered with CTest,
# run offscreen. Fixture and tool paths reach the test as compile definitions:
#   QZ_SOURCE_DIR  the source tree (for committed fixtures)
#   QZ_BINARY_DIR  the build tree (tools such as qzsim live in QZ_BINARY_DIR/tools/...)
function(qz_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;DEPENDS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test qz_testsupport ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    QZ_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    QZ_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;QT_LOGGING_RULES=qt.qpa.*=false")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
