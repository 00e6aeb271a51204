# `cpack` builds one Debian package, tarnwick-registry: the programs, the library with its
# header, pkg-config and CMake files, the systemd unit, a configuration to start from, the
# man pages and the bash completion (both made from the --help texts at build time).
set(REG_PKG_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(REG_DOCS_DIR ${CMAKE_BINARY_DIR}/docs)
add_custom_command(OUTPUT ${REG_DOCS_DIR}/tarnwick-registry.bash
  COMMAND sh ${REG_PKG_DIR}/gen_docs.sh $<TARGET_FILE:tarnwick-registry> ${REG_DOCS_DIR}
          ${PROJECT_VERSION}
  DEPENDS tarnwick-registry ${REG_PKG_DIR}/gen_docs.sh
  COMMENT "Man pages and bash completion from the --help texts")
add_custom_target(docs ALL DEPENDS ${REG_DOCS_DIR}/tarnwick-registry.bash)

install(DIRECTORY ${REG_DOCS_DIR}/man1 DESTINATION ${CMAKE_INSTALL_MANDIR})
install(FILES ${REG_DOCS_DIR}/tarnwick-registry.bash DESTINATION share/bash-completion/completions
  RENAME tarnwick-registry)
# The unit and the configuration have absolute places: only the package installs them, never
# a plain `cmake --install` into some prefix.
install(FILES ${REG_PKG_DIR}/tarnwick-registry.service DESTINATION /lib/systemd/system
  COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${REG_PKG_DIR}/config.toml DESTINATION /etc/tarnwick-registry
  COMPONENT system EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
# Everything of the build, and the system component besides.
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/"
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};system;/")
set(CPACK_PACKAGE_NAME tarnwick-registry)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tarnwick-registry maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "OCI container-image registry server and its storage library")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${REG_PKG_DIR}/conffiles ${REG_PKG_DIR}/postinst ${REG_PKG_DIR}/prerm ${REG_PKG_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
