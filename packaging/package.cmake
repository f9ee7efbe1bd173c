# Installation layout and the Debian packages.
#
# larkspire-edge: the agent under /opt/larkspire/edge, its systemd unit and the template of
# its configuration. The maintainer scripts create /etc/larkspire/edge.json from the template
# only when it is missing, so dpkg never owns, replaces or removes an operator's file.
# larkspire-devhub: the development Hub, packaged apart so that production gateways do not
# carry a test server they never run.

set(LARKSPIRE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

install(TARGETS larkspire-edge
  RUNTIME DESTINATION /opt/larkspire/edge
  COMPONENT edge)
install(FILES ${LARKSPIRE_PACKAGING_DIR}/larkspire-edge.service
  DESTINATION /usr/lib/systemd/system
  COMPONENT edge)
install(FILES ${LARKSPIRE_PACKAGING_DIR}/edge.json
  DESTINATION /usr/share/larkspire-edge
  COMPONENT edge)
# The folder of trusted update keys ships empty: the operator installs the Hub's public key,
# and until then forced updates are refused.
install(DIRECTORY DESTINATION /etc/larkspire/update-keys
  COMPONENT edge)
install(FILES ${CMAKE_SOURCE_DIR}/docs/install.md
  DESTINATION /usr/share/doc/larkspire-edge
  COMPONENT edge)

# A plain `cmake --install` has no maintainer scripts, so it lays down the default
# configuration itself, under the same rule: only when missing, readable by root alone.
# This component is left out of the packages.
install(CODE "
  set(config_dir \"\$ENV{DESTDIR}/etc/larkspire\")
  if(NOT EXISTS \"\${config_dir}/edge.json\" AND NOT IS_SYMLINK \"\${config_dir}/edge.json\")
    file(COPY \"${LARKSPIRE_PACKAGING_DIR}/edge.json\" DESTINATION \"\${config_dir}\"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE)
  else()
    message(STATUS \"Keeping: \${config_dir}/edge.json\")
  endif()
  " COMPONENT config)

set(CPACK_COMPONENTS_ALL edge)
if(TARGET larkspire-devhub)
  install(TARGETS larkspire-devhub
    RUNTIME DESTINATION /usr/bin
    COMPONENT devhub)
  list(APPEND CPACK_COMPONENTS_ALL devhub)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME larkspire)
set(CPACK_PACKAGE_VENDOR "LarkSpire")
set(CPACK_PACKAGE_CONTACT "LarkSpire maintainers <maintainers@larkspire.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(LARKSPIRE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(LARKSPIRE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libssl3")
endif()

set(CPACK_DEBIAN_EDGE_PACKAGE_NAME larkspire-edge)
set(CPACK_COMPONENT_EDGE_DESCRIPTION
  "LarkSpire Edge gateway agent\n Makes a local network reachable from the LarkSpire overlay network.")
# ip, iptables and sysctl configure the gateway; ping serves the web page's ping test.
set(CPACK_DEBIAN_EDGE_PACKAGE_DEPENDS "iproute2, iptables, procps")
set(CPACK_DEBIAN_EDGE_PACKAGE_RECOMMENDS "iputils-ping")
set(CPACK_DEBIAN_EDGE_PACKAGE_CONTROL_EXTRA
  ${LARKSPIRE_PACKAGING_DIR}/debian/postinst
  ${LARKSPIRE_PACKAGING_DIR}/debian/prerm
  ${LARKSPIRE_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_EDGE_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_DEBIAN_DEVHUB_PACKAGE_NAME larkspire-devhub)
set(CPACK_COMPONENT_DEVHUB_DESCRIPTION
  "LarkSpire development Hub\n A small stand-in Hub for trying out and testing LarkSpire Edge.")

include(CPack)
