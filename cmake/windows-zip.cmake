# Lays out the Windows zip's folder: cmake -DSOURCE_DIR= -DZIP_DIR= -DEXE=
# -DVERSION= -DLICENCES="doc/copyright=NAME;..." -P windows-zip.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${ZIP_DIR})
file(MAKE_DIRECTORY ${ZIP_DIR}/licences)
file(COPY ${EXE} DESTINATION ${ZIP_DIR})

# Windows line ends for what a Windows user opens in Notepad.
function(copy_crlf from to)
  file(READ ${from} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
  file(WRITE ${to} "${text}")
endfunction()

copy_crlf(${SOURCE_DIR}/docs/README-windows.txt ${ZIP_DIR}/README.txt)
foreach(entry ${LICENCES})
  string(REPLACE "=" ";" pair ${entry})
  list(GET pair 0 from)
  list(GET pair 1 to)
  if(NOT EXISTS /usr/share/doc/${from})
    message(FATAL_ERROR "missing licence text /usr/share/doc/${from}")
  endif()
  copy_crlf(/usr/share/doc/${from} ${ZIP_DIR}/${to})
endforeach()
