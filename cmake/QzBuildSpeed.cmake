# Build speed.
# - Precompiled headers, three of them. QCustomPlot's header alone takes seconds to parse, and a
#   dozen translation units include it (the chart components, the history window, the live
#   curve, their tests and benchmarks): those targets share the chart header. The test suites
#   share the test header (QtTest and the widgets). The other libraries, tools and benchmarks
#   that use widgets share the Qt header; each of them is one unity source and one moc source,
#   both of which parse the same Qt headers. A target that reuses one also gets its Qt
#   modules, so a header GCC finds unusable (-Winvalid-pch says so in the build log) falls back
#   to plain parsing instead of failing. Clang refuses a precompiled header built with other
#   macros, so the fuzz tree (clang) builds without them.
# - Unity builds: each library and suite in a few translation units.
# - lld where it is installed: it links a test suite in a tenth of the time of ld.bfd.
if(QZ_FUZZ OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(qz_pch_default OFF)
else()
  set(qz_pch_default ON)
endif()
option(QZ_PCH "Precompiled header for the targets that draw charts" ${qz_pch_default})
option(QZ_UNITY "Unity builds" ON)
set(CMAKE_UNITY_BUILD ${QZ_UNITY})
set(CMAKE_UNITY_BUILD_BATCH_SIZE 16)

include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=lld QZ_HAVE_LLD)
option(QZ_LLD "Link with lld" ${QZ_HAVE_LLD})
if(QZ_LLD)
  add_link_options(-fuse-ld=lld)
endif()

# qz_test_defines(<target>): QtTest defines its data folders per source folder, which would make
# the test header unusable for every folder but one. The suites find their fixtures through
# QZ_SOURCE_DIR, so the build folder is one for all and the source folder is left undefined
# (QFINDTESTDATA then looks beside the executable and the source file).
function(qz_test_defines target)
  set_target_properties(${target} PROPERTIES QT_TESTCASE_BUILDDIR "${PROJECT_BINARY_DIR}")
  target_compile_options(${target} PRIVATE -UQT_TESTCASE_SOURCEDIR)
endfunction()

add_library(qz_pch_deps INTERFACE)
target_link_libraries(qz_pch_deps INTERFACE Qt6::Widgets Qt6::PrintSupport QCustomPlotQt6::QCustomPlotQt6)

if(QZ_PCH)
  add_compile_options(-Winvalid-pch)
  add_library(qz_chart_pch OBJECT ${PROJECT_SOURCE_DIR}/cmake/pch/pch.cpp)
  target_link_libraries(qz_chart_pch PRIVATE qz_pch_deps)
  target_precompile_headers(qz_chart_pch PRIVATE ${PROJECT_SOURCE_DIR}/cmake/pch/qz_chart_pch.h)

  add_library(qz_core_pch OBJECT ${PROJECT_SOURCE_DIR}/cmake/pch/pch.cpp)
  target_link_libraries(qz_core_pch PRIVATE Qt6::Core)
  target_precompile_headers(qz_core_pch PRIVATE ${PROJECT_SOURCE_DIR}/cmake/pch/qz_core_pch.h)

  add_library(qz_qt_pch OBJECT ${PROJECT_SOURCE_DIR}/cmake/pch/pch.cpp)
  target_link_libraries(qz_qt_pch PRIVATE Qt6::Widgets)
  target_precompile_headers(qz_qt_pch PRIVATE ${PROJECT_SOURCE_DIR}/cmake/pch/qz_qt_pch.h)

  add_library(qz_test_pch OBJECT ${PROJECT_SOURCE_DIR}/cmake/pch/pch.cpp)
  # Network: the suites' support library has the TCP relay.
  target_link_libraries(qz_test_pch PRIVATE Qt6::Widgets Qt6::Network Qt6::Test)
  target_compile_definitions(qz_test_pch PRIVATE
    QZ_SOURCE_DIR="${PROJECT_SOURCE_DIR}" QZ_BINARY_DIR="${PROJECT_BINARY_DIR}")
  qz_test_defines(qz_test_pch)
  target_precompile_headers(qz_test_pch PRIVATE ${PROJECT_SOURCE_DIR}/cmake/pch/qz_test_pch.h)
endif()

# qz_use_test_pch(<target>): a test suite reuses the test header (see QzTesting.cmake).
function(qz_use_test_pch target)
  if(NOT QZ_PCH)
    return()
  endif()
  target_precompile_headers(${target} REUSE_FROM qz_test_pch)
endfunction()

# qz_use_qt_pch(<target>...): the targets (which use widgets) reuse the Qt header.
function(qz_use_qt_pch)
  if(NOT QZ_PCH)
    return()
  endif()
  foreach(target ${ARGN})
    target_link_libraries(${target} PRIVATE Qt6::Widgets)
    target_precompile_headers(${target} REUSE_FROM qz_qt_pch)
  endforeach()
endfunction()

# qz_use_core_pch(<target>...): widget-free targets reuse the Qt Core header.
function(qz_use_core_pch)
  if(NOT QZ_PCH)
    return()
  endif()
  foreach(target ${ARGN})
    target_precompile_headers(${target} REUSE_FROM qz_core_pch)
  endforeach()
endfunction()

# qz_use_chart_pch(<target>...): the targets reuse the charts' precompiled header.
function(qz_use_chart_pch)
  if(NOT QZ_PCH)
    return()
  endif()
  foreach(target ${ARGN})
    target_link_libraries(${target} PRIVATE qz_pch_deps)
    # A suite that draws charts takes the chart header instead of the test header.
    get_target_property(reused ${target} PRECOMPILE_HEADERS_REUSE_FROM)
    if(reused)
      set_target_properties(${target} PROPERTIES PRECOMPILE_HEADERS_REUSE_FROM qz_chart_pch)
      add_dependencies(${target} qz_chart_pch)
    else()
      target_precompile_headers(${target} REUSE_FROM qz_chart_pch)
    endif()
  endforeach()
endfunction()
