# The macOS application bundle as `cmake --install` lays it out, checked without running it, and
# the rules that make it self-contained and signed:
# cmake -DBUILD_DIR=... -DPROGRAM=... -DVERSION=... -DPLIST_TOOL=plistutil|plutil -DSCRATCH=...
#       -DDEPLOY_SCRIPT=.../mac_deploy.cmake -DCC=... -DMACOS_FLAG=... -P mac_bundle_test.cmake
# It needs the resources built, not the program linked, so a cross build on Linux runs it too.
# MACOS_FLAG is the compiler's option that builds for macOS VERSION.
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
  # The window keeps its own light look under the system's dark appearance.
  if(NOT text MATCHES "<key>NSRequiresAquaSystemAppearance</key>[ \t\r\n]*<true/>")
    fail("Info.plist does not ask for the light appearance (NSRequiresAquaSystemAppearance)")
  endif()
endif()

# The install deploys the installed bundle; without macdeployqt (a cross build) it refuses to,
# rather than leave a bundle that runs only where the build's libraries are.
include(${BUILD_DIR}/mac_deploy_settings.cmake)
include(${DEPLOY_SCRIPT})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${SCRATCH}
                        --component MacDeploy
                RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
string(REGEX REPLACE "[ \n]+" " " said "${said}")
if(EXISTS "${PELORIN_DEPLOY_MACDEPLOYQT}")
  if(NOT status EQUAL 0)
    fail("the deployment failed: ${said}")
  endif()
elseif(status EQUAL 0 OR NOT said MATCHES "cannot deploy ${SCRATCH}/PelorinInstaller.app: no mac")
  fail("the install did not refuse to deploy without macdeployqt: ${said}")
endif()

# The check and the signing after macdeployqt, on small bundles laid out as it leaves the
# program's: each framework and plug-in a library, the program loading the frameworks.
if(NOT EXISTS "${PELORIN_DEPLOY_OTOOL}")
  fail("no otool (PELORIN_OTOOL) to check bundles with")
endif()
set(work ${SCRATCH}/deploy)
file(REMOVE_RECURSE ${work})
file(WRITE ${work}/library.c "int pelorin_library(void) { return 0; }\n")
file(WRITE ${work}/program.c "int main(void) { return 0; }\n")
function(compile output version)  # then the compiler's arguments
  string(REPLACE VERSION ${version} flag "${MACOS_FLAG}")
  separate_arguments(flag UNIX_COMMAND "${flag}")
  get_filename_component(folder ${output} DIRECTORY)
  file(MAKE_DIRECTORY ${folder})
  execute_process(COMMAND ${CC} ${flag} ${ARGN} -o ${output} RESULT_VARIABLE status
                  ERROR_VARIABLE said)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot build ${output}: ${said}")
  endif()
endfunction()
set(minimum ${PELORIN_DEPLOY_MINIMUM_SYSTEM})
set(contents ${work}/deployed/PelorinInstaller.app/Contents)
set(frameworks "")
foreach(framework IN LISTS PELORIN_DEPLOY_FRAMEWORKS)
  set(name ${framework}.framework/Versions/A/${framework})
  compile(${contents}/Frameworks/${name} ${minimum} -shared ${work}/library.c
          -Wl,-install_name,@rpath/${name})
  list(APPEND frameworks ${contents}/Frameworks/${name})
endforeach()
set(program ${contents}/MacOS/${PELORIN_DEPLOY_EXECUTABLE})
set(link_program ${work}/program.c ${frameworks} -Wl,-rpath,@executable_path/../Frameworks)
compile(${program} ${minimum} ${link_program})
list(GET frameworks 0 core)
set(link_plugin -shared ${work}/library.c ${core} -Wl,-rpath,@loader_path/../../Frameworks)
foreach(plugin IN LISTS PELORIN_DEPLOY_PLUGINS)
  compile(${contents}/PlugIns/${plugin} ${minimum} ${link_plugin})
endforeach()
compile(${work}/libcurl.4.dylib ${minimum} -shared ${work}/library.c
        -Wl,-install_name,/opt/homebrew/opt/curl/lib/libcurl.4.dylib)

# A copy of that bundle, changed by CHANGE (code run with `contents` and `program` set to the
# copy's), and the faults its check finds, matched by EXPECTED ("" for none).
function(check_deployed name change expected)
  file(COPY ${work}/deployed/PelorinInstaller.app DESTINATION ${work}/${name})
  set(contents ${work}/${name}/PelorinInstaller.app/Contents)
  set(program ${contents}/MacOS/${PELORIN_DEPLOY_EXECUTABLE})
  cmake_language(EVAL CODE "${change}")
  pelorin_bundle_faults(${work}/${name}/PelorinInstaller.app faults)
  list(JOIN faults "; " faults)
  if((expected STREQUAL "" AND faults) OR NOT faults MATCHES "${expected}")
    message(SEND_ERROR "a bundle ${name}: faults '${faults}', expected '${expected}'")
  endif()
endfunction()
set(platform PlugIns/platforms/libqcocoa.dylib)
set(network QtNetwork.framework/Versions/A/QtNetwork)
check_deployed("as deployed" "" "")
check_deployed("loading Homebrew's libcurl" [[compile(${program} ${minimum} ${link_program}
  ${work}/libcurl.4.dylib)]] "MacOS/PelorinInstaller loads /opt/homebrew/opt/curl/lib/libcurl")
check_deployed("looking in Qt's folder" [[compile(${program} ${minimum} ${link_program}
  -Wl,-rpath,/Users/builder/Qt/6.8.3/macos/lib)]]
  "MacOS/PelorinInstaller looks for libraries in /Users/builder/Qt/6.8.3/macos/lib$")
check_deployed("without the platform plug-in" [[file(REMOVE ${contents}/${platform})]]
  "^no Contents/${platform}$")
check_deployed("without QtNetwork" [[file(REMOVE_RECURSE ${contents}/Frameworks/QtNetwork.framework)]]
  "^no Contents/Frameworks/QtNetwork.framework; .*loads @rpath/${network}, which is not in")
check_deployed("with a plug-in for macOS 13" [[compile(${contents}/${platform} 13.0 ${link_plugin})]]
  "^Contents/${platform} needs macOS 13.0$")
# The same check on its own, as the Mac build runs it on the bundle it installed.
get_filename_component(deploy_folder ${DEPLOY_SCRIPT} DIRECTORY)
foreach(name "as deployed" "with a plug-in for macOS 13")
  execute_process(COMMAND ${CMAKE_COMMAND} -DSETTINGS=${BUILD_DIR}/mac_deploy_settings.cmake
                          "-DBUNDLE=${work}/${name}/PelorinInstaller.app"
                          -P ${deploy_folder}/mac_bundle_check.cmake
                  RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
  string(REGEX REPLACE "[ \n]+" " " said "${said}")
  string(STRIP "${said}" said)
  if(name STREQUAL "as deployed" AND NOT status EQUAL 0)
    fail("the bundle check refused a bundle ${name}: ${said}")
  elseif(NOT name STREQUAL "as deployed" AND (status EQUAL 0 OR NOT said MATCHES
         "would not run on another Mac: Contents/${platform} needs macOS 13.0$"))
    fail("the bundle check passed a bundle ${name}: ${said}")
  endif()
endforeach()

# Signing, through a codesign that writes down what it is asked and names the team it is told.
set(codesign_log ${work}/codesign.log)
file(WRITE ${work}/codesign "#!/bin/sh\necho \"$*\" >> '${codesign_log}'
[ \"$1\" != --display ] || echo \"TeamIdentifier=$PELORIN_TEST_TEAM\" >&2\n")
file(CHMOD ${work}/codesign PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(PELORIN_DEPLOY_CODESIGN ${work}/codesign)
set(PELORIN_DEPLOY_IDENTITY "Developer ID Application: Pelorin (${PELORIN_DEPLOY_TEAM})")
set(app ${work}/deployed/PelorinInstaller.app)
foreach(team ${PELORIN_DEPLOY_TEAM} Q9ZZZZZZZZ)
  file(REMOVE ${codesign_log})
  set(ENV{PELORIN_TEST_TEAM} ${team})
  pelorin_sign_bundle(${app} wrong)
  if(team STREQUAL PELORIN_DEPLOY_TEAM AND wrong)
    fail("signing refused the product's team: ${wrong}")
  elseif(NOT team STREQUAL PELORIN_DEPLOY_TEAM AND
         NOT wrong MATCHES "^signed by TeamIdentifier=${team},")
    fail("signing accepted team ${team}: '${wrong}'")
  endif()
endforeach()
# Each piece of code is signed for notarization, the nested ones before the bundle that seals
# them, and the whole is then verified.
file(STRINGS ${codesign_log} calls)
set(sign "--force --sign ${PELORIN_DEPLOY_IDENTITY} --options runtime --timestamp")
set(expected "")
foreach(call IN LISTS calls)
  if(call MATCHES "^--force .*/Contents/(PlugIns|Frameworks)/" AND expected STREQUAL "")
    string(FIND "${call}" "${sign} ${contents}/" at)
    if(NOT at EQUAL 0)
      fail("signed otherwise: ${call}")
    endif()
  else()
    list(APPEND expected "${call}")
  endif()
endforeach()
list(LENGTH calls count)
list(LENGTH PELORIN_DEPLOY_FRAMEWORKS frameworks)
list(LENGTH PELORIN_DEPLOY_PLUGINS plugins)
math(EXPR count "${count} - ${frameworks} - ${plugins}")
if(NOT count EQUAL 3 OR NOT expected STREQUAL
   "${sign} ${app};--verify --deep --strict ${app};--display --verbose=2 ${app}")
  fail("codesign was asked: ${calls}")
endif()

if(failures)
  message(FATAL_ERROR "${failures} failed")
endif()
message(STATUS "the bundle, its Info.plist and its deployment rules are as expected")
