# Cross-compiles for macOS 12 or later on arm64 with Zig 0.11.0's clang (`zig cc`), which ships
# the macOS headers, libc++ and the libSystem stubs. PELORIN_ZIG (cache or environment) names
# the zig executable; scripts/mac_check.sh installs one.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)

if(NOT PELORIN_ZIG)
  set(PELORIN_ZIG "$ENV{PELORIN_ZIG}")
endif()
if(NOT EXISTS "${PELORIN_ZIG}")
  message(FATAL_ERROR "PELORIN_ZIG must name the zig executable (now: '${PELORIN_ZIG}')")
endif()
set(PELORIN_ZIG "${PELORIN_ZIG}" CACHE FILEPATH "the zig executable")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELORIN_ZIG)

# CMake wants a program per tool; each wrapper keeps zig's caches beside zig. The target names
# the full system version: zig refuses "macos.12". CMake's compiler checks ask the linker for
# its version (-Wl,-v), which zig refuses: the compilers drop it.
get_filename_component(zig_home "${PELORIN_ZIG}" DIRECTORY)
set(wrappers "${zig_home}/macos-arm64")
foreach(tool cc c++ ar ranlib)
  set(command "exec '${PELORIN_ZIG}' ${tool} \"$@\"")
  if(tool MATCHES "^c")
    set(command "for arg do shift; [ \"$arg\" = -Wl,-v ] || set -- \"$@\" \"$arg\"; done
exec '${PELORIN_ZIG}' ${tool} -target aarch64-macos.12.0 \"$@\"")
  endif()
  file(CONFIGURE OUTPUT "${wrappers}/${tool}" @ONLY CONTENT "#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR='${zig_home}/cache' ZIG_LOCAL_CACHE_DIR='${zig_home}/cache'
${command}
")
  file(CHMOD "${wrappers}/${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER "${wrappers}/cc")
set(CMAKE_CXX_COMPILER "${wrappers}/c++")
set(CMAKE_AR "${wrappers}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${wrappers}/ranlib" CACHE FILEPATH "")

# The configuration checks compile without linking, like everything this toolchain builds here.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Nothing of the build machine is a macOS library or header.
set(CMAKE_FIND_ROOT_PATH "${zig_home}/lib/libc")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
