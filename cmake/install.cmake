# What `cmake --install` puts under the prefix, and the packages CPack makes of it: a Debian
# package of the Linux build, a .tar.gz of any Unix build, a zip of the Windows build. The version
# is the project()'s.
include(GNUInstallDirs)

if(WIN32)
    # The zip holds the .exe and the README side by side, ready to run.
    install(TARGETS eeprom-writer RUNTIME DESTINATION .)
    install(FILES README.md DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
    install(TARGETS eeprom-writer quillbox-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    foreach(page eeprom-writer quillbox-sim)
        configure_file(man/${page}.1.in ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
        install(FILES ${CMAKE_BINARY_DIR}/man/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endforeach()
    install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

    set(CPACK_STRIP_FILES ON)
    # A .tar.gz with bin/ and share/ under one top folder, for any Unix. Linux gets a Debian
    # package by default; macOS and the rest the archive. The system name says where it runs:
    # eeprom-writer-VERSION-macos-arm64.tar.gz.
    if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
        set(CPACK_GENERATOR DEB)
    else()
        set(CPACK_GENERATOR TGZ)
    endif()
    if(APPLE)
        set(CPACK_SYSTEM_NAME macos-${CMAKE_SYSTEM_PROCESSOR})
    endif()
    # The Debian package installs under /usr; the archive keeps bin/ and share/ under its own
    # top folder. Only a per-generator file can tell the two apart.
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_per_generator.cmake)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillbox tools <tools@quillbox.example.org>")
endif()

set(CPACK_PACKAGE_NAME eeprom-writer)
set(CPACK_PACKAGE_VENDOR "Quillbox tools")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Writes a file into the EEPROM of a Quillbox over a serial port")
set(CPACK_PACKAGE_DESCRIPTION
    "eeprom-writer sends a file to a Quillbox one byte at a time and checks the device's\n\
confirmation of every byte. quillbox-sim, a simulated Quillbox on a pseudo-terminal,\n\
lets it be tried without hardware.")
set(CPACK_PACKAGE_CONTACT "tools@quillbox.example.org")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
include(CPack)
