# tonvell-cli.exe: the Windows entry point (UTF-16 arguments), the manifest
# and version resource, and the zip handed to Windows users. Included by the
# top CMakeLists.txt when building for Windows (cmake/mingw-w64-x86_64.cmake).

# Header-only libraries from the build machine, each by its own folder.
set(TONVELL_HEADER_DIR "" CACHE PATH "A folder holding only CLI/ and nlohmann/ (made by make windows)")
if(TONVELL_HEADER_DIR)
  target_include_directories(tonvell-engine SYSTEM PUBLIC ${TONVELL_HEADER_DIR})
endif()

string(REPLACE "." "," TONVELL_VERSION_COMMAS "${PROJECT_VERSION},0")
set(TONVELL_VERSION_QUAD "${PROJECT_VERSION}.0")
configure_file(src/platform/windows/tonvell-cli.manifest ${CMAKE_CURRENT_BINARY_DIR}/tonvell-cli.manifest @ONLY)
configure_file(src/platform/windows/tonvell-cli.rc.in ${CMAKE_CURRENT_BINARY_DIR}/tonvell-cli.rc @ONLY)
enable_language(RC)

add_executable(tonvell-cli src/cli/main_windows.cpp ${CMAKE_CURRENT_BINARY_DIR}/tonvell-cli.rc)
target_link_options(tonvell-cli PRIVATE -municode)

# The zip: the program, a README for Windows (CR LF) and the licences of
# what is linked into it.
set(TONVELL_ZIP_NAME tonvell-cli-${PROJECT_VERSION}-windows-x64)
set(TONVELL_ZIP_DIR ${CMAKE_BINARY_DIR}/${TONVELL_ZIP_NAME})
set(TONVELL_LICENCES
  "gcc-mingw-w64-base/copyright=licences/libstdc++-and-libgcc.txt"
  "mingw-w64-x86-64-dev/copyright=licences/mingw-w64-runtime-and-winpthreads.txt"
  "libcli11-dev/copyright=licences/CLI11.txt"
  "nlohmann-json3-dev/copyright=licences/nlohmann-json.txt")
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/${TONVELL_ZIP_NAME}.zip
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DZIP_DIR=${TONVELL_ZIP_DIR}
          -DEXE=$<TARGET_FILE:tonvell-cli> -DVERSION=${PROJECT_VERSION} "-DLICENCES=${TONVELL_LICENCES}"
          -P ${CMAKE_SOURCE_DIR}/cmake/windows-zip.cmake
  COMMAND ${CMAKE_COMMAND} -E rm -f ${TONVELL_ZIP_NAME}.zip
  # Fixed times and order, so that the same sources give the same zip.
  COMMAND ${CMAKE_COMMAND} -E env TZ=UTC sh -c "find ${TONVELL_ZIP_NAME} -exec touch -h -d ${TONVELL_RELEASE_DATE}T00:00:00Z {} + && find ${TONVELL_ZIP_NAME} | LC_ALL=C sort | zip -X -q -@ ${TONVELL_ZIP_NAME}.zip"
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS tonvell-cli ${CMAKE_SOURCE_DIR}/docs/README-windows.txt ${CMAKE_SOURCE_DIR}/cmake/windows-zip.cmake
  VERBATIM)
add_custom_target(windows-zip ALL DEPENDS ${CMAKE_BINARY_DIR}/${TONVELL_ZIP_NAME}.zip)
