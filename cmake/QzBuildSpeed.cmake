# Build speed. QCustomPlot's header alone takes seconds to parse, and a dozen translation units
# include it (the chart components, the history window, the live curve, their tests and
# benchmarks): those targets share one precompiled header. The others build without one, since
# loading a header of that size costs a small translation unit more than it saves. Unity builds
# compile each library in a few translation units.
#
# A target that reuses the precompiled header also gets that header's Qt modules, so a header
# GCC finds unusable (-Winvalid-pch says so in the build log) falls back to plain parsing
# instead of failing. The header must not include QtTest: Qt defines QT_TESTCASE_BUILDDIR per
# test folder, which would make it unusable for every test but one. Clang refuses a
# precompiled header built with other macros, so the fuzz tree (clang) builds without it.
if(QZ_FUZZ OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(qz_pch_default OFF)
else()
  set(qz_pch_default ON)
endif()
option(QZ_PCH "Precompiled header for the targets that draw charts" ${qz_pch_default})
option(QZ_UNITY "Unity builds" ON)
set(CMAKE_UNITY_BUILD ${QZ_UNITY})
set(CMAKE_UNITY_BUILD_BATCH_SIZE 16)

add_library(qz_pch_deps INTERFACE)
target_link_libraries(qz_pch_deps INTERFACE Qt6::Widgets Qt6::PrintSupport QCustomPlotQt6::QCustomPlotQt6)

if(QZ_PCH)
  add_compile_options(-Winvalid-pch)
  add_library(qz_chart_pch OBJECT ${PROJECT_SOURCE_DIR}/cmake/pch/pch.cpp)
  target_link_libraries(qz_chart_pch PRIVATE qz_pch_deps)
  target_precompile_headers(qz_chart_pch PRIVATE ${PROJECT_SOURCE_DIR}/cmake/pch/qz_chart_pch.h)
endif()

# qz_use_chart_pch(<target>...): the targets reuse the charts' precompiled header.
function(qz_use_chart_pch)
  if(NOT QZ_PCH)
    return()
  endif()
  foreach(target ${ARGN})
    target_link_libraries(${target} PRIVATE qz_pch_deps)
    target_precompile_headers(${target} REUSE_FROM qz_chart_pch)
  endforeach()
endfunction()
