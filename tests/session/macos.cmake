# The session library's macOS steps that need no launchd, built from their
# own source against the coalition tests' stand-in platform headers and run
# against the model of the process table (tests/coalition/macos_model.cpp),
# with a model of each process's executable and arguments of their own. On
# Apple the stand-ins would clash with the platform's own headers.
if(NOT APPLE)
    add_library(session_macos_standin STATIC
        ${PROJECT_SOURCE_DIR}/src/session/session_macos_job.cpp)
    target_include_directories(session_macos_standin BEFORE PRIVATE
        ${PROJECT_SOURCE_DIR}/tests/coalition/macos)
    target_link_libraries(session_macos_standin PRIVATE marloft_product)

    add_executable(session_macos_test session_macos_test.cpp session_macos_model.cpp
        ${PROJECT_SOURCE_DIR}/tests/coalition/macos_model.cpp)
    target_include_directories(session_macos_test PRIVATE
        ${PROJECT_SOURCE_DIR}/tests/coalition/macos ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(session_macos_test PRIVATE
        session_macos_standin coalition_macos_standin marloft_warnings GTest::gtest_main)
    gtest_discover_tests(session_macos_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS session)
endif()
