# cmake/TarmisPackage.cmake: the Windows release of Tarmis Server.
#
# Each .exe carries a version resource (Explorer: Properties, Details) and an
# application manifest (runs as the invoking user, made for Windows 10/11),
# compiled by mingw's windres. `--target package` makes
# tarmis-server-VERSION-win64.zip with the three programs, stripped, a
# README.txt for racers and the licence, both with CRLF line ends. The .exe
# files in the build tree keep their symbols; only the packaged copies are
# stripped.

enable_language(RC)

set(TARMIS_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
set(TARMIS_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(TARMIS_RC_MANIFEST "${CMAKE_BINARY_DIR}/packaging/tarmis.manifest")
configure_file(${CMAKE_SOURCE_DIR}/packaging/tarmis.manifest ${TARMIS_RC_MANIFEST} @ONLY)

# Adds the version resource and the manifest to the program `target`.
function(tarmis_add_version_resource target description)
  set(TARMIS_RC_FILE ${target})
  set(TARMIS_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_BINARY_DIR}/packaging/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${TARMIS_RC_MANIFEST})
endfunction()

tarmis_add_version_resource(tarmis_server "Tarmis Server: simulator telemetry for dashboard apps")
set(TARMIS_RELEASE_PROGRAMS tarmis_server)
if(TARGET tarmis_dash)
  tarmis_add_version_resource(tarmis_dash "Tarmis Server dashboard client for the terminal")
  list(APPEND TARMIS_RELEASE_PROGRAMS tarmis_dash)
endif()
if(TARGET tarmis_simulator)
  tarmis_add_version_resource(tarmis_simulator "Tarmis Server simulator stand-in for tests")
  list(APPEND TARMIS_RELEASE_PROGRAMS tarmis_simulator)
endif()

# The two texts, with Windows line ends, so that every editor shows them.
configure_file(${CMAKE_SOURCE_DIR}/packaging/README.txt.in
  ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
file(READ ${CMAKE_SOURCE_DIR}/LICENSE TARMIS_LICENSE_TEXT)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/LICENSE.txt
  CONTENT "${TARMIS_LICENSE_TEXT}" @ONLY NEWLINE_STYLE CRLF)

# The phone dashboard's launcher, a batch file a racer double-clicks.
configure_file("${CMAKE_SOURCE_DIR}/packaging/Phone dashboard.cmd"
  "${CMAKE_BINARY_DIR}/packaging/Phone dashboard.cmd" @ONLY NEWLINE_STYLE CRLF)

install(TARGETS ${TARMIS_RELEASE_PROGRAMS} RUNTIME DESTINATION .)
install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt ${CMAKE_BINARY_DIR}/packaging/LICENSE.txt
  "${CMAKE_BINARY_DIR}/packaging/Phone dashboard.cmd" DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tarmis-server)
set(CPACK_PACKAGE_VENDOR "The Tarmis Server developers")
set(CPACK_PACKAGE_FILE_NAME "tarmis-server-${PROJECT_VERSION}-win64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
