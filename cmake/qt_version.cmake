# The Qt the window is built with. On macOS it must run on the oldest system the bundle promises
# (CMAKE_OSX_DEPLOYMENT_TARGET, the Info.plist's LSMinimumSystemVersion): a Qt that needs a newer
# one is refused at configure time, not on a user's Mac. VERSION is what find_package(Qt6) found.
function(pelorin_require_qt version)
  if(NOT APPLE)
    return()
  endif()
  # The oldest macOS each Qt release supports, as its "Qt for macOS" page states.
  if(version VERSION_GREATER_EQUAL 6.12)
    set(needed 14.4)
  elseif(version VERSION_GREATER_EQUAL 6.10)
    set(needed 13.0)
  elseif(version VERSION_GREATER_EQUAL 6.8)
    set(needed 12.0)
  else()
    set(needed 11.0)
  endif()
  if(CMAKE_OSX_DEPLOYMENT_TARGET VERSION_LESS needed)
    message(FATAL_ERROR "Qt ${version} found, which needs macOS ${needed}, but the bundle "
            "promises macOS ${CMAKE_OSX_DEPLOYMENT_TARGET} (CMAKE_OSX_DEPLOYMENT_TARGET): on an "
            "older system the program would not start. Build with a Qt that still runs there "
            "(for macOS 12: 6.4 to 6.9; 6.8 is a long-term release).")
  endif()
  message(STATUS "Qt ${version} (runs on macOS ${needed} or later)")
endfunction()
