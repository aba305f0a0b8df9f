# Qt tests of the editor: the dialogs driven offscreen through QTest, and
# slot 2 of the real driver opening libdraviknet-editor.so. Screenshots go
# to <build>/screenshots.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
set(editor_screenshots ${CMAKE_BINARY_DIR}/screenshots)

dravik_add_test(editor_qt_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_qt_test.cpp
  LIBS editor_qt Qt6::Test TIMEOUT 120)
dravik_add_test(editor_driver_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_driver_test.cpp
  LIBS model Qt6::Widgets Qt6::Test ${CMAKE_DL_LIBS} TIMEOUT 120)
add_dependencies(editor_driver_test draviknet draviknet-editor Wendro)
set(editor_qt_env "QT_QPA_PLATFORM=offscreen"
  "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp")
foreach(t editor_qt_test editor_driver_test)
  target_include_directories(${t} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(${t} PRIVATE DRAVIK_SCREENSHOT_DIR="${editor_screenshots}")
  set_tests_properties(${t} PROPERTIES ENVIRONMENT "${editor_qt_env}" LABELS "editor;qt")
endforeach()
# Under the sanitizers dlopen is intercepted, so a library's RUNPATH no
# longer applies to the libraries it loads by name; the host's search path
# stands in for it there.
if(DRAVIKNET_SANITIZE)
  set_tests_properties(editor_driver_test PROPERTIES ENVIRONMENT
    "${editor_qt_env};LD_LIBRARY_PATH=${CMAKE_BINARY_DIR}/bin")
endif()
