# Installation and the Debian package.
#
# The two programs, their archiver and the notifier share one private folder,
# lib/mfbackup/: the launcher looks for pkzip.exe (and mfbackup-notify) in the
# running program's own folder (resolved through links), so bin/ only gets
# links to the programs and the helpers stay off the user's PATH.

set(MF_PRIVATE_DIR lib/mfbackup)
set(MF_COMPONENT Runtime)
set(mf_packaging ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${mf_packaging})

install(TARGETS mfbackup mfbackup-cli RUNTIME DESTINATION ${MF_PRIVATE_DIR}
        COMPONENT ${MF_COMPONENT})
if(TARGET pkzip)
    install(TARGETS pkzip RUNTIME DESTINATION ${MF_PRIVATE_DIR} COMPONENT ${MF_COMPONENT})
endif()
if(TARGET mfbackup-notify)
    install(TARGETS mfbackup-notify RUNTIME DESTINATION ${MF_PRIVATE_DIR}
            COMPONENT ${MF_COMPONENT})
endif()

# bin/mfbackup -> ../lib/mfbackup/mfbackup, and so for mfbackup-cli. Relative,
# so they hold in a staging folder (DESTDIR, the package) as well as in the
# final place.
cmake_path(RELATIVE_PATH MF_PRIVATE_DIR BASE_DIRECTORY ${CMAKE_INSTALL_BINDIR}
           OUTPUT_VARIABLE mf_link_target)
foreach(program mfbackup mfbackup-cli)
    file(CREATE_LINK ${mf_link_target}/${program} ${mf_packaging}/${program} SYMBOLIC)
    install(FILES ${mf_packaging}/${program} DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT ${MF_COMPONENT})
endforeach()

# Manual pages, compressed as Debian keeps them; the command line's bash
# completion; the README and the copyright file.
find_program(MF_GZIP gzip REQUIRED)
set(mf_pages)
foreach(page mfbackup.1 mfbackup-cli.1)
    configure_file(packaging/${page} ${mf_packaging}/${page} @ONLY)
    add_custom_command(OUTPUT ${mf_packaging}/${page}.gz
                       COMMAND ${MF_GZIP} -9 -n -c ${mf_packaging}/${page} > ${mf_packaging}/${page}.gz
                       DEPENDS ${mf_packaging}/${page} VERBATIM)
    list(APPEND mf_pages ${mf_packaging}/${page}.gz)
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${mf_pages})
install(FILES ${mf_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${MF_COMPONENT})
install(FILES packaging/mfbackup-cli.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME mfbackup-cli
        COMPONENT ${MF_COMPONENT})
install(FILES README.md packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT ${MF_COMPONENT})

# Menu entry. Exec names the installed program, so the file is written at
# install time: then it follows `cmake --install --prefix` and the package's
# /usr instead of the prefix known when configuring.
install(CODE "
    set(MF_DESKTOP_TEMPLATE \"${CMAKE_SOURCE_DIR}/packaging/mfbackup.desktop.in\")
    set(MF_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(MF_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
    include(\"${CMAKE_SOURCE_DIR}/packaging/install-desktop-entry.cmake\")
" COMPONENT ${MF_COMPONENT})

# The save watcher's systemd user unit, in lib/systemd/user/ under the prefix
# (where systemd looks for /usr and /usr/local), written at install time for
# the same reason as the menu entry.
install(CODE "
    set(MF_UNIT_TEMPLATE \"${CMAKE_SOURCE_DIR}/packaging/mfbackup-watch.service.in\")
    set(MF_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    include(\"${CMAKE_SOURCE_DIR}/packaging/install-systemd-unit.cmake\")
" COMPONENT ${MF_COMPONENT})

set(mf_icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES packaging/mfbackup.svg DESTINATION ${mf_icons}/scalable/apps
        COMPONENT ${MF_COMPONENT})
foreach(size 48 256)
    install(FILES packaging/mfbackup-${size}.png DESTINATION ${mf_icons}/${size}x${size}/apps
            RENAME mfbackup.png COMPONENT ${MF_COMPONENT})
endforeach()

# Debian package: `cpack -G DEB` in the build folder. Only the Runtime
# component goes in, so no test or benchmark ever lands in the package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mfbackup)
set(CPACK_PACKAGE_VENDOR "Moonforge Backup Tool developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Backs up the save files of the game Moonforge")
set(CPACK_PACKAGE_DESCRIPTION
    "Moonforge Backup Tool keeps backup sets of the save files of the game Moonforge \
run under Wine: it backs up the changed saves, restores a chosen set, and moves a set \
to another machine through an export folder, or through a remote that rclone reaches.")
set(CPACK_PACKAGE_CONTACT "Moonforge Backup Tool developers <mfbackup@localhost>"
    CACHE STRING "Maintainer of the Debian package")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};${MF_COMPONENT};/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# dpkg-shlibdeps (dpkg-dev) names the Debian packages of the linked libraries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Push and pull reach their remote through rclone, started as a program.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS rclone)
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
