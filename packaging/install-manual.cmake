# At install time: the manual page, with the help page's installed place put
# in for @SPECAN_HELP_PAGE@ (in roff, each '-' as '\-').
#   SPECAN_PAGE     the page written from --help
#   SPECAN_MANDIR, SPECAN_DATADIR  the folders, relative to the prefix or not
set(help ${SPECAN_DATADIR}/specan/help.html)
if(NOT IS_ABSOLUTE "${help}")
  set(help "${CMAKE_INSTALL_PREFIX}/${help}")
endif()
string(REPLACE "-" "\\-" help "${help}")
file(READ "${SPECAN_PAGE}" page)
string(REPLACE "@SPECAN_HELP_PAGE@" "${help}" page "${page}")
get_filename_component(folder "${SPECAN_PAGE}" DIRECTORY)
file(WRITE "${folder}/installed/specan.1" "${page}")
set(mandir ${SPECAN_MANDIR})
if(NOT IS_ABSOLUTE "${mandir}")
  set(mandir "${CMAKE_INSTALL_PREFIX}/${mandir}")
endif()
file(INSTALL "${folder}/installed/specan.1" DESTINATION "${mandir}/man1")
