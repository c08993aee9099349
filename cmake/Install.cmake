# Install rules, in the GNU layout under CMAKE_INSTALL_PREFIX:
#   bin/YultService                         the agent                (component agent)
#   share/doc/yultservice/README.md         its documentation        (component agent)
#   share/doc/yultservice/docs/profiler-link.md
#   bin/olva-app-sim, bin/tulm              with YULT_INSTALL_TOOLS  (component tools)
# The link document keeps its docs/ directory, so that the README's links to it still resolve.
#   cmake --install build --prefix /opt/yult [--strip] [--component agent]
option(YULT_INSTALL_TOOLS "Also install the application simulator (olva-app-sim) and the tulm stand-in" OFF)

# GNUInstallDirs names the documentation directory after the project (YultService) unless told.
set(CMAKE_INSTALL_DOCDIR share/doc/yultservice CACHE PATH "Documentation directory (share/doc/yultservice)")
include(GNUInstallDirs)

install(TARGETS YultService RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT agent)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT agent)
install(FILES ${PROJECT_SOURCE_DIR}/docs/profiler-link.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT agent)

if(YULT_INSTALL_TOOLS)
  install(TARGETS olva-app-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/tulm DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
