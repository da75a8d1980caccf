# The macOS application bundle as `cmake --install` lays it out, checked without running it:
# cmake -DBUILD_DIR=... -DPROGRAM=... -DVERSION=... -DPLIST_TOOL=plistutil|plutil -DSCRATCH=...
#       -P mac_bundle_test.cmake
# It needs the resources built, not the program linked, so a cross build on Linux runs it too.
cmake_minimum_required(VERSION 3.25)

set(failures 0)
macro(fail message)
  message(SEND_ERROR "${message}")
  math(EXPR failures "${failures} + 1")
endmacro()

set(resource_bundle PelorinInstaller_PelorinInstaller.bundle)

# The program sits where resource_bundle_accessor_mac.cpp expects it, in <app>/Contents/MacOS,
# with the resource bundle in <app>/Contents/Resources.
get_filename_component(macos ${PROGRAM} DIRECTORY)
get_filename_component(contents ${macos} DIRECTORY)
get_filename_component(app ${contents} DIRECTORY)
get_filename_component(executable ${PROGRAM} NAME)
if(NOT macos MATCHES "/PelorinInstaller\\.app/Contents/MacOS$")
  fail("the program is not in PelorinInstaller.app/Contents/MacOS: ${PROGRAM}")
endif()
if(NOT IS_DIRECTORY ${contents}/Resources/${resource_bundle})
  fail("no resource bundle in ${contents}/Resources")
endif()

file(REMOVE_RECURSE ${SCRATCH})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${SCRATCH}
                        --component Unspecified
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  fail("cmake --install failed: ${status}")
endif()

# The installed tree is the application and nothing else.
file(GLOB top RELATIVE ${SCRATCH} ${SCRATCH}/*)
if(NOT top STREQUAL "PelorinInstaller.app")
  fail("installed at the top: ${top}")
endif()
set(installed ${SCRATCH}/PelorinInstaller.app/Contents)
foreach(file Info.plist
             Resources/AppIcon.icns
             Resources/${resource_bundle}/icon.icns
             Resources/${resource_bundle}/en.lproj/Localizable.qm
             Resources/${resource_bundle}/zh-hans.lproj/Localizable.qm)
  if(NOT EXISTS ${installed}/${file} OR IS_DIRECTORY ${installed}/${file})
    fail("missing from the installed application: Contents/${file}")
  elseif(file MATCHES "\\.icns$")
    file(READ ${installed}/${file} magic LIMIT 4 HEX)
    if(NOT magic STREQUAL "69636e73")
      fail("Contents/${file} is no Apple icon file")
    endif()
  endif()
endforeach()

# Info.plist: a property list that libplist (or macOS's plutil) reads, with these values.
set(plist ${installed}/Info.plist)
if(EXISTS ${plist})
  if(PLIST_TOOL MATCHES "plutil$")
    execute_process(COMMAND ${PLIST_TOOL} -lint ${plist} RESULT_VARIABLE status OUTPUT_QUIET)
  else()
    execute_process(COMMAND ${PLIST_TOOL} -i ${plist} -f bin -o ${SCRATCH}/Info.bin
                    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
    if(NOT EXISTS ${SCRATCH}/Info.bin)
      set(status "no output")
    endif()
  endif()
  if(NOT status EQUAL 0)
    fail("Info.plist does not parse: ${status}")
  endif()
  file(READ ${plist} text)
  if(text MATCHES "[$@]{")
    fail("Info.plist has a value left unset")
  endif()
  foreach(entry CFBundleIdentifier=com.pelorin-ai.code.installer
                CFBundleName=PelorinInstaller
                CFBundleExecutable=${executable}
                CFBundlePackageType=APPL
                CFBundleShortVersionString=${VERSION}
                CFBundleVersion=${VERSION}
                LSMinimumSystemVersion=12.0
                CFBundleIconFile=AppIcon.icns)
    string(REGEX MATCH "^([^=]+)=(.*)$" ignored ${entry})
    set(key ${CMAKE_MATCH_1})
    set(expected ${CMAKE_MATCH_2})
    string(REGEX MATCH "<key>${key}</key>[ \t\r\n]*<string>([^<]*)</string>" ignored "${text}")
    if(NOT CMAKE_MATCH_1 STREQUAL expected)
      fail("Info.plist ${key}: '${CMAKE_MATCH_1}', expected '${expected}'")
    endif()
  endforeach()
endif()

if(failures)
  message(FATAL_ERROR "${failures} failed")
endif()
message(STATUS "the bundle and its Info.plist are as expected")
