# Checks an installed PelorinInstaller.app as the install checks it after deploying, and changes
# nothing: every Mach-O file runs on the bundle's macOS and loads libraries only from the bundle
# and the system, and the frameworks and plug-ins are there.
# cmake -DSETTINGS=<build>/mac_deploy_settings.cmake -DBUNDLE=<app> -P mac_bundle_check.cmake
cmake_minimum_required(VERSION 3.25)
include(${SETTINGS})
include(${CMAKE_CURRENT_LIST_DIR}/mac_deploy.cmake)
pelorin_bundle_faults("${BUNDLE}" faults)
if(faults)
  list(JOIN faults "\n  " faults)
  message(FATAL_ERROR "${BUNDLE} would not run on another Mac:\n  ${faults}")
endif()
message(STATUS "${BUNDLE}: runs on macOS ${PELORIN_DEPLOY_MINIMUM_SYSTEM} with nothing but the "
        "system and its own contents")
