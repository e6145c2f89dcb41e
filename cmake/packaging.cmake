# What a release ships, for `cmake --install` and CPack.
#
# Native build: tvkpack and tvkserve in bin/, the shipped stub in
# share/tvkstub/, the README and docs/ in share/doc/tvkstub/ with a sample server
# configuration and its notes in examples/, and tvkserve's systemd unit in
# lib/systemd/system/ (under /usr, which systemd searches on every Debian;
# the package does not enable it). `cpack` makes the Debian package, whose
# dependencies dpkg-shlibdeps computes from the programs themselves.
# Windows builds: tvkstub.exe, tvkpack.exe and the README side by side, with
# docs/ beside them (the README's links lead there);
# `cpack` makes the zip for Windows users.
#
# The native build does not build the stub, so TVK_SHIPPED_STUB names the
# stub it ships (tools/release.sh points it at the win32 build's). A Windows
# build ships its own tvkstub unless TVK_SHIPPED_STUB names another. The
# shipped stub is installed byte for byte as it was built.
set(TVK_PACKAGE_MAINTAINER "tvkstub developers <tvkstub@localhost>" CACHE STRING
    "The Debian package's Maintainer field")

if(WIN32)
    set(tvk_bin_dir .)
    set(tvk_stub_dir .)
    set(tvk_doc_dir .)
else()
    include(GNUInstallDirs)
    set(tvk_bin_dir "${CMAKE_INSTALL_BINDIR}")
    set(tvk_stub_dir "${CMAKE_INSTALL_DATADIR}/tvkstub")
    set(tvk_doc_dir "${CMAKE_INSTALL_DOCDIR}")
endif()

install(TARGETS tvkpack RUNTIME DESTINATION "${tvk_bin_dir}")
if(TVK_SHIPPED_STUB)
    install(FILES "${TVK_SHIPPED_STUB}" DESTINATION "${tvk_stub_dir}" RENAME tvkstub.exe)
elseif(TVK_STUB)
    install(FILES "${TVK_STUB}" DESTINATION "${tvk_stub_dir}")
else()
    message(STATUS "No stub to install: TVK_SHIPPED_STUB names none (tools/release.sh sets it)")
endif()
install(FILES README.md DESTINATION "${tvk_doc_dir}")
install(DIRECTORY docs/ DESTINATION "${tvk_doc_dir}/docs" FILES_MATCHING PATTERN "*.md")
if(TARGET tvkserve)
    install(TARGETS tvkserve RUNTIME DESTINATION "${tvk_bin_dir}")
    install(FILES tools/tvkserve/service/tvkserve.service
        DESTINATION lib/systemd/system)
    install(FILES tools/tvkserve/service/serve.json tools/tvkserve/service/serve.json.md
        DESTINATION "${tvk_doc_dir}/examples")
endif()

set(CPACK_PACKAGE_NAME tvkstub)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${TVK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Self-extracting installer stub for 32-bit Windows, its packaging command and server")
set(CPACK_PACKAGE_DESCRIPTION
    "tvkstub.exe carries an installer program inside its own file, validates its \
signature on start and hands the installer its parameters. tvkpack embeds an installer \
behind the stub, tags the signed result with parameters, icon and picture, and inspects \
packages as the stub reads them. tvkserve serves signed packages over HTTP, each download \
tagged on the fly, with a systemd unit (not enabled on install).")
# Only the programs built here are stripped; the shipped stub is installed
# byte for byte as it was built and identified.
set(CPACK_STRIP_FILES ON)
if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME "tvkstub-${PROJECT_VERSION}-windows")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION devel)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
