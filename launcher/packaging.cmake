# The Debian package: `cpack -G DEB` in the build directory packs what
# `cmake --install` installs, under /usr (maintainer: doc/CMakeLists.txt).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kandrel)
set(CPACK_PACKAGE_VENDOR "kandrel developers")
set(CPACK_PACKAGE_CONTACT "${KANDREL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "trace the socket calls of unchanged programs and delay them through a hop")
set(CPACK_PACKAGE_DESCRIPTION
    "libkandrel.so is preloaded into a program by kandrel-run; it traces the
program's socket calls on standard error and bounces its traffic to routed
destinations off a hop's echo service first, so the program feels the real
delay of that path. kandrel-hop is a lab hop that echoes after a chosen
delay and jitter; tavik_cli and tavik_serv measure UDP round trips.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12)")
# The libraries sit in the multiarch directory, so ldconfig runs after
# installation: a trigger in the package's control files.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
include(CPack)
