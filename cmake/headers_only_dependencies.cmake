# The dependencies by their headers only, for a build whose target none of their libraries exist
# for (the macOS compile check on Linux: CMAKE_PROJECT_TOP_LEVEL_INCLUDES names this file). Each
# package the project asks for becomes an interface target that carries the build machine's
# headers of that package and nothing else: never /usr/include as a whole, whose C library would
# win over the target's. Static libraries and object files build; nothing that links them does.
execute_process(COMMAND dpkg-architecture -qDEB_HOST_MULTIARCH
                OUTPUT_VARIABLE pelorin_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
set(pelorin_arch_include /usr/include/${pelorin_multiarch})
set(pelorin_headers ${CMAKE_BINARY_DIR}/dependency-headers)
set(pelorin_qt_include ${pelorin_arch_include}/qt6)

# A folder of one package's headers: each NAME=PATH becomes <folder>/NAME, a link to PATH; a
# folder name given twice merges both folders' files.
function(pelorin_header_folder package)
  set(folder ${pelorin_headers}/${package})
  foreach(entry IN LISTS ARGN)
    string(REGEX MATCH "^([^=]+)=(.+)$" ignored "${entry}")
    set(name ${CMAKE_MATCH_1})
    set(source ${CMAKE_MATCH_2})
    if(NOT EXISTS ${source})
      message(FATAL_ERROR "no headers of ${package} at ${source}")
    endif()
    if(IS_DIRECTORY ${source})
      file(GLOB files ${source}/*)
      foreach(file IN LISTS files)
        get_filename_component(leaf ${file} NAME)
        file(MAKE_DIRECTORY ${folder}/${name})
        file(CREATE_LINK ${file} ${folder}/${name}/${leaf} SYMBOLIC)
      endforeach()
    else()
      file(MAKE_DIRECTORY ${folder})
      file(CREATE_LINK ${source} ${folder}/${name} SYMBOLIC)
    endif()
  endforeach()
endfunction()

function(pelorin_interface target)
  if(NOT TARGET ${target})
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${ARGN}")
  endif()
endfunction()

pelorin_header_folder(curl curl=${pelorin_arch_include}/curl)
# A package's version as its CMake package would report it: the text that `header` defines as
# `macro`, unless PELORIN_HEADERS_ONLY_<NAME>_VERSION names the version the headers stand in for,
# so that the configuration's version rules can be tried on versions whose headers this machine
# lacks.
function(pelorin_header_version name header macro result)
  file(STRINGS ${header} version REGEX "^#define[\t ]+${macro}[\t ]+\"")
  string(REGEX REPLACE "^.*\"([^\"]*)\".*$" "\\1" version "${version}")
  if(PELORIN_HEADERS_ONLY_${name}_VERSION)
    set(version ${PELORIN_HEADERS_ONLY_${name}_VERSION})
  endif()
  set(${result} ${version} PARENT_SCOPE)
endfunction()
pelorin_header_version(CURL ${pelorin_arch_include}/curl/curlver.h LIBCURL_VERSION
                       pelorin_curl_version)
pelorin_header_version(QT ${pelorin_qt_include}/QtCore/qconfig.h QT_VERSION_STR pelorin_qt_version)
pelorin_header_folder(openssl openssl=/usr/include/openssl openssl=${pelorin_arch_include}/openssl)
pelorin_header_folder(nlohmann_json nlohmann=/usr/include/nlohmann)
pelorin_header_folder(libplist plist=/usr/include/plist)
pelorin_header_folder(gtest gtest=/usr/include/gtest gmock=/usr/include/gmock)
pelorin_header_folder(cpp-httplib httplib.h=/usr/include/httplib.h)

# pkg-config sees only these descriptions, each with the version of the headers.
foreach(module libplist-2.0:libplist cpp-httplib:cpp-httplib)
  string(REPLACE ":" ";" module ${module})
  list(GET module 0 name)
  list(GET module 1 package)
  execute_process(COMMAND pkg-config --modversion ${name} OUTPUT_VARIABLE version
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  file(WRITE ${pelorin_headers}/pkgconfig/${name}.pc
       "Name: ${name}\nDescription: headers only\nVersion: ${version}\nCflags: -I${pelorin_headers}/${package}\n")
endforeach()
set(ENV{PKG_CONFIG_LIBDIR} ${pelorin_headers}/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

macro(pelorin_provide_headers method package)
  if("${package}" STREQUAL "CURL")
    pelorin_interface(CURL::libcurl ${pelorin_headers}/curl)
    set(CURL_VERSION_STRING ${pelorin_curl_version})
  elseif("${package}" STREQUAL "OpenSSL")
    pelorin_interface(OpenSSL::Crypto ${pelorin_headers}/openssl)
    pelorin_interface(OpenSSL::SSL ${pelorin_headers}/openssl)
  elseif("${package}" STREQUAL "nlohmann_json")
    pelorin_interface(nlohmann_json::nlohmann_json ${pelorin_headers}/nlohmann_json)
  elseif("${package}" STREQUAL "GTest")
    foreach(library gtest gtest_main gmock gmock_main)
      pelorin_interface(GTest::${library} ${pelorin_headers}/gtest)
    endforeach()
  elseif("${package}" STREQUAL "Qt6")
    pelorin_interface(Qt6::Core ${pelorin_qt_include} ${pelorin_qt_include}/QtCore)
    pelorin_interface(Qt6::Gui ${pelorin_qt_include}/QtGui)
    pelorin_interface(Qt6::Widgets ${pelorin_qt_include}/QtWidgets)
    pelorin_interface(Qt6::Network ${pelorin_qt_include}/QtNetwork)
    pelorin_interface(Qt6::Test ${pelorin_qt_include}/QtTest)
    set_property(TARGET Qt6::Gui PROPERTY INTERFACE_LINK_LIBRARIES Qt6::Core)
    set_property(TARGET Qt6::Widgets PROPERTY INTERFACE_LINK_LIBRARIES Qt6::Gui)
    set_property(TARGET Qt6::Test PROPERTY INTERFACE_LINK_LIBRARIES Qt6::Core)
    set_property(TARGET Qt6::Network PROPERTY INTERFACE_LINK_LIBRARIES Qt6::Core)
    # Qt's code generators run on the build machine.
    foreach(tool lrelease moc)
      if(NOT TARGET Qt6::${tool})
        find_program(PELORIN_QT_${tool} ${tool} PATHS /usr/lib/qt6/bin /usr/lib/qt6/libexec
                     NO_DEFAULT_PATH REQUIRED)
        add_executable(Qt6::${tool} IMPORTED GLOBAL)
        set_target_properties(Qt6::${tool} PROPERTIES IMPORTED_LOCATION ${PELORIN_QT_${tool}})
      endif()
    endforeach()
    set(Qt6_VERSION ${pelorin_qt_version})
    string(REPLACE "." ";" pelorin_qt_numbers ${pelorin_qt_version})
    list(GET pelorin_qt_numbers 0 Qt6Core_VERSION_MAJOR)
    list(GET pelorin_qt_numbers 1 Qt6Core_VERSION_MINOR)
  endif()
  if("${package}" MATCHES "^(CURL|OpenSSL|nlohmann_json|GTest|Qt6)$")
    set(${package}_FOUND TRUE)
  endif()
endmacro()

cmake_language(SET_DEPENDENCY_PROVIDER pelorin_provide_headers SUPPORTED_METHODS FIND_PACKAGE)
