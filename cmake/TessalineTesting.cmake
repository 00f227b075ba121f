# add_unit_test(NAME <name> SOURCES <files...> LIBRARIES <libs...> [DISPLAY] [WRAPPER <cmd...>]
#               [ENVIRONMENT <k=v...>])
#
# WRAPPER runs the test through a command (e.g. dbus-run-session --). In a sanitizer build
# every test also runs through tests/support/sanitizer-reports.
# One QtTest executable per unit, registered with CTest. Every test runs with a fixed
# locale and with HOME, XDG_CONFIG_HOME, XDG_DATA_HOME and CODEX_HOME inside the build
# tree, so no test can touch the real home directory. Widget tests run offscreen unless
# DISPLAY is given, in which case they use the X server the test command started.
set(TESSALINE_TEST_RUNNER)
if(TESSALINE_SANITIZE)
    set(TESSALINE_TEST_RUNNER ${CMAKE_SOURCE_DIR}/tests/support/sanitizer-reports)
endif()
function(add_unit_test)
    cmake_parse_arguments(T "DISPLAY" "NAME" "SOURCES;LIBRARIES;ENVIRONMENT;WRAPPER" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt6::Test ${T_LIBRARIES})
    target_compile_definitions(${T_NAME} PRIVATE
        TESSALINE_FIXTURES="${CMAKE_SOURCE_DIR}/tests/fixtures"
        TESSALINE_BUILD_DIR="${CMAKE_BINARY_DIR}")
    set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    add_test(NAME ${T_NAME} COMMAND ${TESSALINE_TEST_RUNNER} ${T_WRAPPER} $<TARGET_FILE:${T_NAME}>)

    set(home ${CMAKE_BINARY_DIR}/test-home/${T_NAME})
    file(MAKE_DIRECTORY ${home})
    set(env
        LANG=C.UTF-8 LC_ALL=C.UTF-8 TZ=UTC
        HOME=${home} XDG_CONFIG_HOME=${home}/.config XDG_DATA_HOME=${home}/.local/share
        XDG_CACHE_HOME=${home}/.cache CODEX_HOME=${home}/.codex
        QT_LOGGING_RULES=qt.qpa.*=false)
    if(NOT T_DISPLAY)
        list(APPEND env QT_QPA_PLATFORM=offscreen)
    endif()
    list(APPEND env ${T_ENVIRONMENT})
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}" TIMEOUT 300)
    if(T_DISPLAY)
        set_tests_properties(${T_NAME} PROPERTIES LABELS display)
    endif()
endfunction()

# add_fuzz_target(NAME <name> SOURCES <files...> LIBRARIES <libs...>)
# Built only with -DTESSALINE_FUZZ=ON (clang); seeds come from tests/fixtures.
# The target tessaline_fuzzers builds them all and nothing else.
if(TESSALINE_FUZZ)
    add_custom_target(tessaline_fuzzers)
endif()
function(add_fuzz_target)
    cmake_parse_arguments(F "" "NAME" "SOURCES;LIBRARIES" ${ARGN})
    if(NOT TESSALINE_FUZZ)
        return()
    endif()
    add_executable(${F_NAME} ${F_SOURCES})
    target_link_libraries(${F_NAME} PRIVATE ${F_LIBRARIES})
    target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
    set_target_properties(${F_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
    add_dependencies(tessaline_fuzzers ${F_NAME})
endfunction()
