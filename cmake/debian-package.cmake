# What the Debian package carries beside the program, as Debian's tools
# (lintian) expect it: the license as a machine-readable copyright file, the
# changelog and the manual page gzipped with `gzip -9n` (no name, no time
# stamp: the same sources give the same bytes), and the maintainer's address.
# Included from CMakeLists.txt, before CPack.

set(KAVRO_MAINTAINER "KAVRO <support@kavro.example>")
set(deb_docs ${CMAKE_CURRENT_BINARY_DIR}/deb)
file(MAKE_DIRECTORY ${deb_docs})

# /usr/share/doc/kavro-register/copyright from LICENSE: its copyright line,
# and its text, from the grant of permission on, as the body of the license
# paragraph (each line indented by one space, a blank line written " .").
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" copyright_line "${license}")
string(FIND "${license}" "Permission is hereby granted" grant)
if(NOT copyright_line OR grant EQUAL -1)
  message(FATAL_ERROR "LICENSE: no copyright line or no grant of permission")
endif()
set(KAVRO_COPYRIGHT ${CMAKE_MATCH_1})
string(SUBSTRING "${license}" ${grant} -1 license_text)
string(STRIP "${license_text}" license_text)
string(REPLACE "\n" "\n " license_text " ${license_text}")
string(REPLACE "\n \n" "\n .\n" KAVRO_LICENSE_TEXT "${license_text}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/deb/copyright.in ${deb_docs}/copyright @ONLY)

find_program(GZIP gzip REQUIRED)
set(gzipped)
foreach(source IN ITEMS packaging/deb/changelog docs/kavro-register.1)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${deb_docs}/${name}.gz
    COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/${source} > ${deb_docs}/${name}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/${source})
  list(APPEND gzipped ${deb_docs}/${name}.gz)
endforeach()
add_custom_target(deb_docs ALL DEPENDS ${gzipped})

install(FILES ${deb_docs}/copyright ${deb_docs}/changelog.gz
        DESTINATION share/doc/kavro-register)
install(FILES ${deb_docs}/kavro-register.1.gz DESTINATION share/man/man1)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KAVRO_MAINTAINER})
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "DASYLab 8.0 finds the KAVRO DAQ card driver through one entry in its\n"
    "configuration file: MKAVRO.DLL in the [Hardware] section of\n"
    "C:\\Program Files\\DASYLab 8.0\\DASYLab.ini. Where DASYLab runs under Wine,\n"
    "kavro-register writes that entry in drive C: of the user's Wine prefix\n"
    "($WINEPREFIX or ~/.wine), keeping every other line of the file byte for\n"
    "byte and replacing the file in one step, so that it is never left half\n"
    "written. When DASYLab 8.0 is not installed there, or the file cannot be\n"
    "written, it warns and exits with status 1.")
