# The Debian package: `cmake --build build --target package` (`make package`)
# writes build/tonvell_<version>_<arch>.deb from the install rules, with the
# shared-library dependencies found by dpkg-shlibdeps.
set(TONVELL_MAINTAINER "Tonvell developers <tonvell@users.noreply.github.com>"
  CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME tonvell)
set(CPACK_PACKAGE_VENDOR "The Tonvell developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TONVELL_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# <name>_<version>_<arch>.deb, the Debian way.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${TONVELL_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The synopsis, then the long description, which CPack indents, writing
# " ." for the empty line.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MIDI to MFi ring tone (.mld) converter")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tonvell turns Standard MIDI Files (format 1, .mid) into MFi 2.0 ring-tone
files (.mld) for mobile handsets. It converts a whole list of files in one
run and reports each one in a log; titles and copyright texts are stored in
GBK, time is resolved to 1/48 of a quarter note.

This package holds the desktop program tonvell, with a Simplified-Chinese
interface and an \"Open with\" entry for MIDI files, and the command line
converter tonvell-cli, which also checks and lists MFi files.")
# FluidSynth (and GLib, which it brings) is loaded at run time, unseen by
# dpkg-shlibdeps: the soname the build was made against, by its package.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libfluidsynth3")
if(TARGET tonvell)
  # Qt loads its window-system plugin at run time, unseen by dpkg-shlibdeps;
  # the interface is Chinese, so a font that has the characters helps.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libfluidsynth3, qt6-qpa-plugins")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei")
endif()

include(CPack)
