# Installation (cmake --install) and the Debian packages (cpack -G DEB).
#
# Three components, one package each:
#   console     quvoconnect, its manual page, the softphone's D-Bus interface file
#               and the README with docs/                   -> package quvoconnect
#   simulators  the stand-in softphone and the stand-in Extension Mobility service
#               with their manual pages                     -> package quvoconnect-simulators
#   sipphone    the SIP softphone quvo-sipphone, its manual page and its systemd user
#               unit, where liblinphone was found           -> package quvoconnect-sipphone

include(GNUInstallDirs)

install(TARGETS quvoconnect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT console)

if(WIN32)
  return()
endif()

install(TARGETS quvo-softphone-sim quvo-emapp-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT simulators)

set(QUVO_COMPONENTS console simulators)
if(TARGET quvo-sipphone)
  install(TARGETS quvo-sipphone RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sipphone)
  # The login service (a systemd user unit); it names the program by the package's path.
  install(FILES packaging/quvo-sipphone.service DESTINATION lib/systemd/user COMPONENT sipphone)
  list(APPEND QUVO_COMPONENTS sipphone)
endif()

set(QUVO_DEB_RELEASE 1)
set(QUVO_DOC_console quvoconnect)
set(QUVO_DOC_simulators quvoconnect-simulators)
set(QUVO_DOC_sipphone quvoconnect-sipphone)

# Manual pages and the changelog, compressed the way Debian wants them (no name or
# time stamp inside, so that the package is the same on every build).
find_program(QUVO_GZIP gzip REQUIRED)
set(QUVO_COMPRESSED_DIR ${CMAKE_BINARY_DIR}/compressed)
function(quvo_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUVO_COMPRESSED_DIR}
    COMMAND sh -c "'${QUVO_GZIP}' -9nc '${source}' > '${output}'"
    DEPENDS ${source}
    VERBATIM)
endfunction()

set(QUVO_MAN_PAGES quvoconnect:console quvo-softphone-sim:simulators quvo-emapp-sim:simulators)
if(TARGET quvo-sipphone)
  list(APPEND QUVO_MAN_PAGES quvo-sipphone:sipphone)
endif()
set(QUVO_COMPRESSED_FILES)
foreach(entry ${QUVO_MAN_PAGES})
  string(REPLACE ":" ";" entry ${entry})
  list(GET entry 0 page)
  list(GET entry 1 component)
  set(output ${QUVO_COMPRESSED_DIR}/${page}.1.gz)
  quvo_gzip(${PROJECT_SOURCE_DIR}/man/${page}.1 ${output})
  list(APPEND QUVO_COMPRESSED_FILES ${output})
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endforeach()

# The changelog's newest entry names the package's version.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog QUVO_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT QUVO_CHANGELOG_TOP MATCHES "^quvoconnect \\(${PROJECT_VERSION}-${QUVO_DEB_RELEASE}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with '${QUVO_CHANGELOG_TOP}', "
                      "not an entry for ${PROJECT_VERSION}-${QUVO_DEB_RELEASE}")
endif()
quvo_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${QUVO_COMPRESSED_DIR}/changelog.Debian.gz)
list(APPEND QUVO_COMPRESSED_FILES ${QUVO_COMPRESSED_DIR}/changelog.Debian.gz)
add_custom_target(quvo_compressed_docs ALL DEPENDS ${QUVO_COMPRESSED_FILES})

install(FILES ${QUVO_CONTRACT_XML}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/dbus-1/interfaces COMPONENT console)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUVO_DOC_console} COMPONENT console)
# What the README links to, beside it as in the tree.
file(GLOB QUVO_DOCS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${QUVO_DOCS} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUVO_DOC_console}/docs COMPONENT console)
foreach(component ${QUVO_COMPONENTS})
  install(FILES packaging/copyright ${QUVO_COMPRESSED_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUVO_DOC_${component}} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quvoconnect)
set(CPACK_PACKAGE_VENDOR Quelbo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "QUVOConnect maintainers <quvoconnect@quelbo.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL ${QUVO_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUVO_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE quvoconnect)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME ${QUVO_DOC_console})
set(CPACK_DEBIAN_CONSOLE_DESCRIPTION "remote control of the QUVO softphone from the console
QUVOConnect drives the QUVO desktop softphone of the same user over the D-Bus
session bus: it reads one command per line (MakeCall, Answer, Hold, Transfer,
IPCCLogin, ...), reports failures by the name of their result code and prints
one line for every event the softphone reports. Operators, scripts and test
harnesses use it.
.
The package also holds the softphone's D-Bus interface description, for whoever
writes a softphone for Linux.")
set(CPACK_DEBIAN_CONSOLE_PACKAGE_SUGGESTS ${QUVO_DOC_simulators})

set(CPACK_DEBIAN_SIMULATORS_PACKAGE_NAME ${QUVO_DOC_simulators})
set(CPACK_DEBIAN_SIMULATORS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIMULATORS_DESCRIPTION "stand-in softphone and call server for QUVOConnect
quvo-softphone-sim plays the QUVO softphone on the D-Bus session bus (calls,
transfers, conferences, the contact-centre agent, any event on demand) and can
be driven from a shell; quvo-emapp-sim answers Extension Mobility requests as
the call server does. For demonstrations and tests of QUVOConnect.")

set(CPACK_DEBIAN_SIPPHONE_PACKAGE_NAME ${QUVO_DOC_sipphone})
set(CPACK_DEBIAN_SIPPHONE_DESCRIPTION "headless SIP softphone that QUVOConnect drives
quvo-sipphone is a real SIP softphone on liblinphone without a user interface of
its own. It serves the QUVO softphone's automation interface on the D-Bus
session bus, so that QUVOConnect places, answers, holds, transfers and
conferences real calls through a SIP registrar or peer to peer, and reports
their events from the calls' real states. Without a sound card it speaks a
tone and can record what it hears to a WAV file.")
set(CPACK_DEBIAN_SIPPHONE_PACKAGE_SUGGESTS ${QUVO_DOC_console})

include(CPack)
