# The Debian package, made by scripts/package.sh (cpack -G DEB): both
# programs, the desktop entry, the icons, the manual pages, the bash
# completion, the AppStream metadata and the copyright file, as cmake
# --install puts them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvia)
set(CPACK_PACKAGE_VENDOR "Norvale")
set(CPACK_PACKAGE_CONTACT "Norvale <quorvia@norvale.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Converts recordings between standard WAVE and Brinmoor-WAVE")
set(CPACK_PACKAGE_DESCRIPTION
    "Quorvia converts two-channel recordings between standard RIFF WAVE files with
integer PCM samples and Brinmoor-WAVE, the 64-bit floating-point layout at
39062.5 frames per second, through a polyphase resampler. The window, Tamsel,
converts one file or many into a folder; quorvia-convert does the same from
the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # quorvia_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link, with the versions that the build machine
# has, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libsndfile, libmpg123 and libsoxr are opened when first needed, out of
# dpkg-shlibdeps' sight: the packages of the sonames the programs open.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsndfile1, libmpg123-0, libsoxr0")
# The completion is read only where bash-completion is installed.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
include(CPack)

if(UNIX AND NOT APPLE)
    # Debian's machine-readable copyright file, where Debian keeps it.
    string(SUBSTRING "${QUORVIA_RELEASE_DATE}" 0 4 QUORVIA_RELEASE_YEAR)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in copyright @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quorvia)
endif()
