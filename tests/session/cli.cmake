# marloft-session end to end, through real sessions (Linux, root, cgroup v2;
# skipped otherwise). Every session test checks that no session's group is
# left below the library's parent group, so none of them may overlap another:
# they share the lock marloft_sessions.
if(TARGET marloft-session AND NOT APPLE)
    add_executable(cli_test ${CMAKE_CURRENT_LIST_DIR}/cli_test.cpp)
    target_link_libraries(cli_test PRIVATE marloft_test_support GTest::gtest_main marloft_jansson)
    target_compile_definitions(cli_test PRIVATE
        MARLOFT_SESSION_BIN="$<TARGET_FILE:marloft-session>"
        MARLOFT_VERSION="${PROJECT_VERSION}"
        SESSION_PARENT_GROUP="marloft-session"
        SSH_AGENT="/usr/bin/ssh-agent")
    add_dependencies(cli_test marloft-session)
    gtest_discover_tests(cli_test DISCOVERY_TIMEOUT 30
        PROPERTIES LABELS cgroup RESOURCE_LOCK marloft_sessions TIMEOUT 180)
endif()
