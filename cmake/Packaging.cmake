# Install rules for what a user runs, and CPack's two Debian packages: "brannoc" (the client, its
# asset tree, desktop entry and icon) and "brannoc-server" (the tally server, the web service, their
# systemd units and /etc/default files). scripts/package builds both.
#
# Installed paths below the prefix (/usr in the packages):
#   games/brannoc                  the command: starts the client from its data folder
#   lib/games/brannoc/brannoc      the client
#   games/brannoc-click            counts one death in the running client
#   share/games/brannoc/assets/    its asset tree; the fonts are links into Debian's font packages
#   sbin/brannoc-server, sbin/brannoc-web, share/brannoc-server/default.jpg
# With the prefix /usr, the units go to /lib/systemd/system and the flags to /etc/default; with any
# other prefix both go below it.

set(BRANNOC_PACKAGE_MAINTAINER "Brannoc maintainers <brannoc@example.org>"
    CACHE STRING "Maintainer named in the Debian packages and their changelogs")
# Installing does not build: scripts/package builds what it packs, and a test may pack a finished
# build while other tests run from it.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(staged ${PROJECT_BINARY_DIR}/packaging)
set(BRANNOC_PACKAGE_VERSION ${PROJECT_VERSION})

# Man pages and changelogs compressed as Debian asks (gzip -9n: no name or time stamp inside).
set(compressed)
foreach(page brannoc.6 brannoc-click.6 brannoc-server.8 brannoc-web.8)
  configure_file(${packaging}/man/${page} ${staged}/man/${page} @ONLY)
  list(APPEND compressed ${staged}/man/${page}.gz)
endforeach()
foreach(BRANNOC_PACKAGE brannoc brannoc-server)
  configure_file(${packaging}/debian/changelog.in ${staged}/${BRANNOC_PACKAGE}/changelog @ONLY)
  list(APPEND compressed ${staged}/${BRANNOC_PACKAGE}/changelog.gz)
endforeach()
foreach(file IN LISTS compressed)
  string(REGEX REPLACE "\\.gz$" "" plain ${file})
  add_custom_command(OUTPUT ${file} COMMAND gzip -9nkf ${plain} DEPENDS ${plain} VERBATIM)
endforeach()
add_custom_target(brannoc_package_files ALL DEPENDS ${compressed})

# The client.
install(TARGETS brannoc RUNTIME DESTINATION lib/games/brannoc COMPONENT client)
install(PROGRAMS ${packaging}/brannoc DESTINATION games COMPONENT client)
install(TARGETS brannoc-click RUNTIME DESTINATION games COMPONENT client)
install(DIRECTORY ${PROJECT_BINARY_DIR}/assets/ DESTINATION share/games/brannoc/assets COMPONENT client
        PATTERN font EXCLUDE PATTERN icon EXCLUDE PATTERN web EXCLUDE PATTERN NOTICE EXCLUDE)
set(font_links "")
set(font_packages)
foreach(entry IN LISTS BRANNOC_FONTS)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 package)
  list(GET parts 2 source)
  list(APPEND font_packages ${package})
  string(APPEND font_links "brannoc_font_link(${name} ${source})\n")
endforeach()
# Relative links when the fonts are below the same prefix, as Debian's policy asks.
install(CODE [[
function(brannoc_font_link name source)
  set(folder "${CMAKE_INSTALL_PREFIX}/share/games/brannoc/assets/font")
  file(RELATIVE_PATH target "${folder}" "${source}")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${folder}")
  message(STATUS "Linking: $ENV{DESTDIR}${folder}/${name} -> ${target}")
  file(CREATE_LINK "${target}" "$ENV{DESTDIR}${folder}/${name}" SYMBOLIC)
endfunction()
]] COMPONENT client)
install(CODE "${font_links}" COMPONENT client)
install(FILES ${packaging}/brannoc.desktop DESTINATION share/applications COMPONENT client)
install(FILES ${PROJECT_BINARY_DIR}/assets/icon/brannoc.png DESTINATION share/icons/hicolor/64x64/apps
        COMPONENT client)
install(FILES ${staged}/man/brannoc.6.gz ${staged}/man/brannoc-click.6.gz DESTINATION share/man/man6 COMPONENT client)
install(FILES ${staged}/brannoc/changelog.gz ${packaging}/debian/copyright DESTINATION share/doc/brannoc
        COMPONENT client)

# The servers.
install(TARGETS brannoc-server brannoc-web RUNTIME DESTINATION sbin COMPONENT server)
install(FILES ${PROJECT_BINARY_DIR}/assets/web/default.jpg DESTINATION share/brannoc-server COMPONENT server)
install(FILES ${staged}/man/brannoc-server.8.gz ${staged}/man/brannoc-web.8.gz DESTINATION share/man/man8
        COMPONENT server)
install(FILES ${staged}/brannoc-server/changelog.gz ${packaging}/debian/copyright
        DESTINATION share/doc/brannoc-server COMPONENT server)
install(CODE "set(packaging \"${packaging}\")" COMPONENT server)
install(CODE [[
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(BRANNOC_ETC /etc)
  set(units /lib/systemd/system)
else()
  set(BRANNOC_ETC "${CMAKE_INSTALL_PREFIX}/etc")
  set(units "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
set(BRANNOC_SBIN "${CMAKE_INSTALL_PREFIX}/sbin")
set(BRANNOC_DATA "${CMAKE_INSTALL_PREFIX}/share/brannoc-server")
foreach(unit brannoc-server brannoc-web)
  message(STATUS "Installing: $ENV{DESTDIR}${units}/${unit}.service")
  configure_file("${packaging}/${unit}.service.in" "$ENV{DESTDIR}${units}/${unit}.service" @ONLY)
  file(INSTALL "${packaging}/default/${unit}" DESTINATION "${BRANNOC_ETC}/default")
endforeach()
]] COMPONENT server)

# The packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brannoc)
set(CPACK_PACKAGE_VENDOR "The Brannoc authors")
set(CPACK_PACKAGE_VERSION ${BRANNOC_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "${BRANNOC_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Installs into the staging folder with the real prefix, so the rules above see /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL client server)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BRANNOC_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME brannoc)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION games)
list(JOIN font_packages ", " font_depends)
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "${font_depends}")
# CPack indents every line after the first: the text below is as Debian's Description shows it.
set(CPACK_DEBIAN_CLIENT_DESCRIPTION "shared death tally: the desktop client
Brannoc keeps a tally of deaths in step between several people. The client
shows the shared total, rings a bell when it grows, shows how long ago it
last grew and lists the known users with online lamps and their own counts.
A click in its button window adds one, and so do a global hotkey and
brannoc-click, which a desktop shortcut or a macro pad can run.
.
This client is built for the tally server ${BRANNOC_REALTIME_HOST} and the
web service ${BRANNOC_WEB_HOST}.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME brannoc-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_DESCRIPTION "shared death tally: the tally server and the web service
Brannoc keeps a tally of deaths in step between several people. This package
holds brannoc-server, which keeps the tally in SQLite or Redis and serves it
to every client, and brannoc-web, which signs clients in by token, each with
a sandboxed systemd service.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${packaging}/debian/server/conffiles ${packaging}/debian/server/postinst ${packaging}/debian/server/prerm
    ${packaging}/debian/server/postrm)

include(CPack)
