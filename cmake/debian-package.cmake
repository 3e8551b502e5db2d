# The Debian package (`cpack -G DEB` in a Release build): the product folder
# in "/opt/Quillon Pro" with the programs, the language files in UTF-8 and
# empty jobs/ and logs/ folders; the postinst makes the INI files where they
# are missing (packaging/lay-out-product.sh --no-samples) and installs no
# service. The package's own files are component "deb", which
# `cmake --install` leaves out; the package leaves out the lay-out of
# `cmake --install` (component "layout": sample jobs and INI files that
# would be the package's and so be replaced on upgrade).
set(QS_DEB_DIR ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian)
set(QS_DEB_DOC /usr/share/doc/quillon-pro)

install(FILES packaging/lang/Deutsch.lng packaging/lang/English.lng
        DESTINATION lang COMPONENT deb EXCLUDE_FROM_ALL)
install(PROGRAMS packaging/lay-out-product.sh DESTINATION share COMPONENT deb EXCLUDE_FROM_ALL)
install(DIRECTORY DESTINATION jobs COMPONENT deb EXCLUDE_FROM_ALL)
install(DIRECTORY DESTINATION logs COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${QS_DEB_DIR}/quillon-pro.logrotate DESTINATION /etc/logrotate.d
        RENAME quillon-pro COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${QS_DEB_DIR}/copyright DESTINATION ${QS_DEB_DOC} COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${QS_DEB_DIR}/lintian-overrides DESTINATION /usr/share/lintian/overrides
        RENAME quillon-pro COMPONENT deb EXCLUDE_FROM_ALL)
install(CODE "execute_process(COMMAND gzip -9nc \"${QS_DEB_DIR}/changelog\"
                OUTPUT_FILE \"\$ENV{DESTDIR}${QS_DEB_DOC}/changelog.gz\" COMMAND_ERROR_IS_FATAL ANY)"
        COMPONENT deb EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon-pro)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Quillon Pro background service and its tools")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The background service of the Quillon Pro file-transfer product: it runs\nthe product's jobs through its transfer engine, runs the watch jobs of the\nreal-time monitor and writes the product's logs. Installed as a systemd\nservice with QuillonSrv -install.")
set(CPACK_PACKAGE_CONTACT "Quillon Pro developers <developers@quillon-pro.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS logrotate)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${QS_DEB_DIR}/postinst ${QS_DEB_DIR}/prerm ${QS_DEB_DIR}/postrm ${QS_DEB_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/opt/Quillon Pro")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
# The programs (component "Unspecified") and the package's own files.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};QuillonSrv;Unspecified;/"
    "${CMAKE_BINARY_DIR};QuillonSrv;deb;/")
include(CPack)
