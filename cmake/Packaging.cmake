# Installation and the Debian package (cpack -G DEB).
#
# Programs go to bin/, the libraries a device root is laid out from to
# lib/kestrix/ (kestrix-install looks there beside its bin/), data files to
# share/kestrix/, plus the shell's systemd user unit, desktop entries and
# man pages. Nothing runs as root: each user's device root is laid out under
# their XDG data folder by kestrix-install, which the shell's unit runs
# before it starts.
include(GNUInstallDirs)

set(KESTRIX_PROGRAMS kestrix-launch kestrix-install kestrix-judge kestrix-notify kestrix-demo-root kestrix-rules
                     springboard springboard-ctl KestrixPanel)
foreach(program IN LISTS KESTRIX_PROGRAMS)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

set(KESTRIX_DEVICE_LIBRARIES kestrix_substrate KestrixLoader KestrixHook7 KestrixHook9
                             KestrixHook7Prompt KestrixHook9Prompt kestrix_springboard)
# The shell's own library sits with the others; the shell finds it there.
if(TARGET springboard)
  set_target_properties(springboard PROPERTIES INSTALL_RPATH "$ORIGIN/../lib/kestrix")
endif()
foreach(library IN LISTS KESTRIX_DEVICE_LIBRARIES)
  if(TARGET ${library})
    install(TARGETS ${library} LIBRARY DESTINATION lib/kestrix)
  endif()
endforeach()

set(KESTRIX_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
configure_file(packaging/kestrix-springboard.service.in ${CMAKE_BINARY_DIR}/packaging/kestrix-springboard.service
               @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/kestrix-springboard.service DESTINATION lib/systemd/user)
file(GLOB KESTRIX_MAN_PAGES ${PROJECT_SOURCE_DIR}/docs/man/*.1)
install(FILES ${KESTRIX_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The data files kestrix-install lays out into a device root (the prompt's
# and the settings application's), as the build keeps them in share/kestrix/.
install(DIRECTORY ${CMAKE_BINARY_DIR}/share/kestrix/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrix OPTIONAL)
# The settings application in the desktop's menu.
if(TARGET KestrixPanel)
  install(FILES panel/desktop/KestrixPanel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES panel/images/kestrix-panel.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kestrix maintainers <maintainers@kestrix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "per-application network firewall for the desktop")
set(CPACK_PACKAGE_DESCRIPTION
    "Kestrix watches the outgoing connections of the programs you run under it,\n"
    "names the host behind each address and decides from your rules whether the\n"
    "call may go ahead; when no rule decides, it asks you.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_STRIP_FILES ON)
include(CPack)
