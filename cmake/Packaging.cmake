# Debian packages, built by CPack from the install rules (scripts/package):
#   veilcast         the program, the vcz tool, the desktop entry and its icon
#   veilcast-server  the server, its systemd unit and its settings file
# each with its manual pages.
# Every library of the project is static, so the packages hold only programs;
# what they need of the system comes from dpkg-shlibdeps.
include(GNUInstallDirs)

set(veilcast_packaging_dir "${CMAKE_CURRENT_LIST_DIR}/../packaging")

# qt_standard_project_setup() gives installed programs the run path
# $ORIGIN:$ORIGIN/../lib, which would let a library dropped next to /usr/bin
# be loaded first. The packaged programs link only system libraries.
foreach(program veilcast vcz veilcast-server)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "")
  endif()
endforeach()

# Debian ships manual pages compressed; -n keeps the file the same from build
# to build.
add_custom_target(veilcast_man ALL)
function(veilcast_install_man page section component)
  set(source "${veilcast_packaging_dir}/${page}.${section}")
  set(gz "${CMAKE_CURRENT_BINARY_DIR}/packaging/${page}.${section}.gz")
  add_custom_command(OUTPUT "${gz}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/packaging"
    COMMAND sh -c "gzip -9nc \"$0\" > \"$1\"" "${source}" "${gz}"
    DEPENDS "${source}"
    VERBATIM)
  add_custom_target(veilcast_man_${page} DEPENDS "${gz}")
  add_dependencies(veilcast_man veilcast_man_${page})
  install(FILES "${gz}" DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()

if(TARGET vcz)
  veilcast_install_man(vcz 1 client)
endif()

if(TARGET veilcast)
  veilcast_install_man(veilcast 1 client)
  install(FILES "${veilcast_packaging_dir}/veilcast.desktop"
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT client)
  # The same picture the program shows, as the desktop's icon.
  install(FILES "${CMAKE_CURRENT_LIST_DIR}/../resources/logo.svg"
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
          RENAME veilcast.svg COMPONENT client)
endif()

if(TARGET veilcast-server)
  veilcast_install_man(veilcast-server 8 server)
  # Both live outside the /usr prefix the package installs into.
  install(FILES "${veilcast_packaging_dir}/veilcast-server.service"
          DESTINATION /lib/systemd/system COMPONENT server)
  install(FILES "${veilcast_packaging_dir}/veilcast-server.default"
          DESTINATION /etc/default RENAME veilcast-server COMPONENT server)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veilcast)
set(CPACK_PACKAGE_VENDOR "Veilcast")
set(CPACK_PACKAGE_CONTACT "Veilcast developers <dev@veilcast.example>")
# The version the programs print, named here so that nothing else can stand in.
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build tree keeps its debug information; the packages do not need it.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL)
if(TARGET veilcast)
  list(APPEND CPACK_COMPONENTS_ALL client)
endif()
if(TARGET veilcast-server)
  list(APPEND CPACK_COMPONENTS_ALL server)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://veilcast.example")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Maintainer scripts and control files as Debian wants them (0755 / 0644).
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME veilcast)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION video)
# Qt's own dialogs (the file chooser, menus, standard buttons) speak Chinese
# only with Qt's translations, data files out of dpkg-shlibdeps' sight.
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "qt6-translations-l10n")
# The compressor is the ffmpeg program; Chinese text needs a CJK font.
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS "ffmpeg, fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
  "protected video player and encryption workbench (影匣)\n\
Veilcast plays .vcz videos with keys from a content server, and lets\n\
merchants encrypt their videos into .vcz containers and register the keys.\n\
Also contains vcz, a command-line tool that seals files into containers and\n\
reads container headers.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME veilcast-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
# The SQL drivers are plugins Qt loads at run time, out of dpkg-shlibdeps' sight.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser, libqt6sql6-sqlite")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "libqt6sql6-psql")
# The settings file is the operator's: an upgrade must not overwrite their
# edits, which dpkg guarantees only for files named as conffiles.
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/packaging/server/conffiles" "/etc/default/veilcast-server\n")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
  "${veilcast_packaging_dir}/server/postinst;${veilcast_packaging_dir}/server/prerm;${veilcast_packaging_dir}/server/postrm;${CMAKE_CURRENT_BINARY_DIR}/packaging/server/conffiles")
set(CPACK_COMPONENT_SERVER_DESCRIPTION
  "content server for the Veilcast player\n\
Logs Veilcast users in, hands out content keys to permitted viewers on known\n\
devices and takes new keys from merchants. Runs as the systemd service\n\
veilcast-server under its own system user, with its SQLite database and\n\
master key in /var/lib/veilcast; the admin commands manage accounts, grants,\n\
keys and devices.")

include(CPack)
