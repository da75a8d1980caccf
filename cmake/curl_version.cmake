# The oldest libcurl the program can run with here. VERSION is what find_package(CURL) found
# (CURL_VERSION_STRING): an older one is refused at configure time, not when the program starts.
function(pelorin_require_curl version)
  if(APPLE)
    set(minimum 8.18.0)
    string(CONCAT reason "the Mac build carries a libcurl of its own, built with OpenSSL and "
           "USE_APPLE_SECTRUST, which checks servers against the system's trust when no CA file is "
           "set from 8.18 on (Secure Transport left curl in 8.15). The system's libcurl cannot "
           "stand in: macOS 12.0 to 12.5 ship 7.77 and 7.79, which lack curl_easy_header, "
           "CURLOPT_PROTOCOLS_STR and CURLOPT_QUICK_EXIT, so the program would not start.")
  else()
    set(minimum 7.87.0)
    string(CONCAT reason "the program calls curl_easy_header (7.83), CURLOPT_PROTOCOLS_STR "
           "(7.85) and CURLOPT_QUICK_EXIT (7.87).")
  endif()
  if(NOT version MATCHES "^[0-9]+\\.[0-9]+")
    message(FATAL_ERROR "libcurl's version is unknown ('${version}'); ${minimum} or later is "
            "needed: ${reason}")
  endif()
  if(version VERSION_LESS minimum)
    message(FATAL_ERROR "libcurl ${version} found, ${minimum} or later needed: ${reason}")
  endif()
  message(STATUS "libcurl ${version} (${minimum} or later needed)")
  # The package states the same floor: the library's symbols alone date it older.
  set(PELORIN_CURL_MINIMUM ${minimum} PARENT_SCOPE)
endfunction()
