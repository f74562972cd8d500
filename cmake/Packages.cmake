# Debian packages, one per component: cpack -G DEB in the build folder (scripts/packages.sh
# builds and checks them). Dependencies on system libraries come from dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME postwing)
set(CPACK_PACKAGE_VENDOR "postwing")
set(CPACK_PACKAGE_CONTACT "postwing developers <postwing@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SMTP mail-sending component for C++ programs")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_COMPONENTS_ALL library development send)
if(TARGET postwing-composer)
  list(APPEND CPACK_COMPONENTS_ALL composer)
endif()
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
set(CPACK_COMPONENT_SEND_DEPENDS library)
set(CPACK_COMPONENT_COMPOSER_DEPENDS library)

set(CPACK_DEB_COMPONENT_INSTALL ON)
# The component dependencies above become "libpostwing0 (= version)".
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs link the library of this build; dpkg-shlibdeps finds it here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/component)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libpostwing${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION
  "SMTP mail-sending component for C++ programs - shared library
 postwing sends mail over SMTP from C++ programs: it checks the message, carries the SMTP
 dialogue on the thread's event loop without blocking it, assembles the MIME message and
 reports every status line, the progress and every error through events.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libpostwing-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# postwing.pc names OpenSSL privately, which pkg-config looks up too.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libssl-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "SMTP mail-sending component for C++ programs - development files
 The headers, the CMake package and the pkg-config file of the postwing library.")

set(CPACK_DEBIAN_SEND_PACKAGE_NAME postwing-send)
set(CPACK_COMPONENT_SEND_DESCRIPTION
  "send one mail message over SMTP from the shell
 postwing-send builds a message from its options (sender, recipients, subject, a text or
 HTML body, attachments) or sends a message file as it is, over plain SMTP, STARTTLS or TLS.")

set(CPACK_DEBIAN_COMPOSER_PACKAGE_NAME postwing-composer)
set(CPACK_COMPONENT_COMPOSER_DESCRIPTION
  "write HTML mail and send it through an SMTP server
 A desktop program (Qt 6) for writing one mail message at a time in an HTML editor, with
 attachments, and sending it through the postwing library. It handles mailto: links.")

include(CPack)
