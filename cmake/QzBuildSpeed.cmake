# Build speed: precompiled Qt headers (QCustomPlot's header alone is parsed in seconds) shared
# by the libraries and by the test suites, and unity builds that compile a library's files in
# a few translation units.
#
# Every target that reuses a precompiled header is also given that header's include directories
# and Qt modules, so a header GCC finds unusable falls back to plain parsing instead of failing.
# Clang refuses a precompiled header built with other macros, so the fuzz tree (clang) builds
# without them.
if(QZ_FUZZ OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(qz_pch_default OFF)
else()
  set(qz_pch_default ON)
endif()
option(QZ_PCH "Precompiled Qt headers" ${qz_pch_default})
option(QZ_UNITY "Unity builds" ON)
set(CMAKE_UNITY_BUILD ${QZ_UNITY})
set(CMAKE_UNITY_BUILD_BATCH_SIZE 16)

add_library(qz_pch_deps INTERFACE)
target_link_libraries(qz_pch_deps INTERFACE Qt6::Widgets Qt6::PrintSupport Qt6::Sql QCustomPlotQt6::QCustomPlotQt6)

if(QZ_PCH)
  add_library(qz_lib_pch OBJECT ${PROJECT_SOURCE_DIR}/cmake/pch/pch.cpp)
  target_link_libraries(qz_lib_pch PRIVATE qz_pch_deps)
  target_precompile_headers(qz_lib_pch PRIVATE ${PROJECT_SOURCE_DIR}/cmake/pch/qz_pch.h)

  add_library(qz_test_pch OBJECT ${PROJECT_SOURCE_DIR}/cmake/pch/pch.cpp)
  target_link_libraries(qz_test_pch PRIVATE qz_pch_deps Qt6::Test)
  target_compile_definitions(qz_test_pch PRIVATE
    QZ_SOURCE_DIR="${PROJECT_SOURCE_DIR}" QZ_BINARY_DIR="${PROJECT_BINARY_DIR}")
  target_precompile_headers(qz_test_pch PRIVATE ${PROJECT_SOURCE_DIR}/cmake/pch/qz_test_pch.h)
endif()

# qz_use_pch(<target> LIB|TEST)
function(qz_use_pch target kind)
  if(NOT QZ_PCH)
    return()
  endif()
  target_link_libraries(${target} PRIVATE qz_pch_deps)
  if(kind STREQUAL "TEST")
    target_link_libraries(${target} PRIVATE Qt6::Test)
    target_precompile_headers(${target} REUSE_FROM qz_test_pch)
  else()
    target_precompile_headers(${target} REUSE_FROM qz_lib_pch)
  endif()
endfunction()
