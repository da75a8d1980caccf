# Run by CPack after it made the Debian package (CPACK_POST_BUILD_SCRIPTS): takes the folders
# above the package's own, such as /opt, out of its file list. dpkg removes a folder with the
# last package that lists it, so a package that listed /opt would try to remove it, shared as it
# is, and warn that it is not empty. The package's preinst makes those folders where missing.
cmake_minimum_required(VERSION 3.25)

# "./opt/" for "/opt/pelorin-installer": each folder above the prefix, as the archive names it.
set(parents "")
set(folder "${CPACK_PACKAGING_INSTALL_PREFIX}")
cmake_path(GET folder PARENT_PATH folder)
while(NOT folder STREQUAL "/")
  list(APPEND parents ".${folder}/")
  cmake_path(GET folder PARENT_PATH folder)
endwhile()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(work "${package}.members")
  file(REMOVE_RECURSE "${work}")
  file(MAKE_DIRECTORY "${work}/data")
  execute_process(COMMAND ar x "${package}" WORKING_DIRECTORY "${work}" COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB control RELATIVE "${work}" "${work}/control.tar.*")
  # The archive again, from its own entries in their order, less the folders above the prefix.
  execute_process(COMMAND tar -xpzf ../data.tar.gz WORKING_DIRECTORY "${work}/data"
                  COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND tar -tzf data.tar.gz WORKING_DIRECTORY "${work}"
                  OUTPUT_VARIABLE entries COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" entries "${entries}")
  list(REMOVE_ITEM entries "" ${parents})
  list(JOIN entries "\n" entries)
  file(WRITE "${work}/entries" "${entries}\n")
  execute_process(COMMAND tar -czf ../data.tar.gz --no-recursion --owner=0 --group=0
                          --numeric-owner --format=gnu -T ../entries
                  WORKING_DIRECTORY "${work}/data" COMMAND_ERROR_IS_FATAL ANY)
  # dpkg reads the members in this order.
  file(REMOVE "${package}")
  execute_process(COMMAND ar rcD "${package}" debian-binary ${control} data.tar.gz
                  WORKING_DIRECTORY "${work}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${work}")
endforeach()
