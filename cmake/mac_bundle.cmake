# What makes the installed PelorinInstaller.app run on a Mac that has nothing but the system, and
# pass Gatekeeper: `cmake --install` deploys, checks and signs it (cmake/mac_deploy.cmake) with
# the tools and settings found here, written to mac_deploy_settings.cmake in the build folder.
set(PELORIN_CODESIGN_IDENTITY "" CACHE STRING
    "identity that signs the installed bundle, \"Developer ID Application: NAME (TEAM)\"; empty: ad hoc, for this Mac only")

function(pelorin_mac_bundle target)
  # The frameworks that the deployment copies into Contents/Frameworks.
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "@executable_path/../Frameworks")

  # Qt's own deployment tool; the others come with Xcode's command-line tools (llvm-otool reads
  # the same load commands on other systems).
  find_program(PELORIN_MACDEPLOYQT macdeployqt HINTS "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}"
               NO_DEFAULT_PATH)
  find_program(PELORIN_OTOOL NAMES otool llvm-otool llvm-otool-14)
  find_program(PELORIN_CODESIGN codesign)
  foreach(tool MACDEPLOYQT OTOOL CODESIGN)
    if(NOT PELORIN_${tool} AND NOT CMAKE_CROSSCOMPILING)
      message(FATAL_ERROR "no ${tool} (PELORIN_${tool}): the installed bundle would carry "
              "neither Qt nor a signature")
    endif()
  endforeach()

  # Only an application of the product's own team may change its bundle without asking (App
  # Management, macOS 13): the signature must name that team.
  file(STRINGS ${PROJECT_SOURCE_DIR}/core/include/InstallerCore/Distribution.hpp team
       REGEX "teamID = \"")
  string(REGEX REPLACE ".*teamID = \"([^\"]+)\".*" "\\1" team "${team}")

  get_target_property(executable ${target} OUTPUT_NAME)
  if(NOT executable)
    set(executable ${target})
  endif()
  set(settings ${CMAKE_BINARY_DIR}/mac_deploy_settings.cmake)
  file(CONFIGURE OUTPUT ${settings} @ONLY CONTENT [[
set(PELORIN_DEPLOY_EXECUTABLE "@executable@")
set(PELORIN_DEPLOY_MACDEPLOYQT "@PELORIN_MACDEPLOYQT@")
set(PELORIN_DEPLOY_OTOOL "@PELORIN_OTOOL@")
set(PELORIN_DEPLOY_CODESIGN "@PELORIN_CODESIGN@")
set(PELORIN_DEPLOY_IDENTITY "@PELORIN_CODESIGN_IDENTITY@")
set(PELORIN_DEPLOY_TEAM "@team@")
set(PELORIN_DEPLOY_MINIMUM_SYSTEM "@CMAKE_OSX_DEPLOYMENT_TARGET@")
# The Qt modules the program links, and the plug-ins it needs: the window's platform, the Mac's
# widget style and the reader of the brand icon.
set(PELORIN_DEPLOY_FRAMEWORKS QtCore QtGui QtWidgets QtNetwork)
set(PELORIN_DEPLOY_PLUGINS platforms/libqcocoa.dylib styles/libqmacstyle.dylib
    imageformats/libqicns.dylib)
]])
  install(CODE "include(\"${settings}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/mac_deploy.cmake\")
pelorin_deploy_bundle(\"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${executable}.app\")"
          COMPONENT MacDeploy)
endfunction()
