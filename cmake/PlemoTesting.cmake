# plemo_add_gtest(NAME SOURCES file... LIBS lib... LABELS label [QT])
#   One GoogleTest program, its cases registered with CTest one by one, each
#   with the program's label, the most that its tests need, so that a run
#   can pick suites by it (ctest -L unit, or the "unit" test preset):
#     unit   in process only: no pseudo-terminal, X server or wine
#     pty    real pseudo-terminals (and processes on them)
#     x11    the real program on a private Xvfb (and perhaps a pty)
#     wine   every test of a Windows build, run under wine
#   One label only: the discovered tests get their properties as one flat
#   list, which would split a list of labels.
#   QT: the program gets a QApplication on the offscreen platform (tests/support/qt_main.cpp)
#   instead of GoogleTest's own main. Every program links the shared test
#   support (tests/support).
find_package(GTest REQUIRED)
include(GoogleTest)

function(plemo_add_gtest name)
  cmake_parse_arguments(ARG "QT" "LABELS" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_LABELS OR ARG_UNPARSED_ARGUMENTS)
    # Still built and run by a whole ctest; only a run by label misses it.
    message(WARNING "plemo_add_gtest(${name}): give it one label (unit, pty or x11)")
  endif()
  set(labels ${ARG_LABELS})
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(labels wine)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  plemo_warnings(${name})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE plemo_test_support)
  if(ARG_QT)
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/qt_main.cpp)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest Qt6::Widgets)
  else()
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 120 LABELS "${labels}")
endfunction()
