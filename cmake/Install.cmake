# What `cmake --install BUILD --prefix PREFIX` puts where (GNU layout):
#   bin/                 plume, snapinfo, snap2nc, plume-plot
#   share/plume/         plot_snapshots.py, which plume-plot runs
#   share/doc/plume/     README.md, docs/, examples/
# The programs are linked statically against the project's own libraries and
# read no file of the source tree, so they run from any directory.
include(GNUInstallDirs)

# Installs a command into bin/: a target of this project, or a script that
# the current directory's CMakeLists.txt configured into its binary
# directory. The test of the installed tree expects every command installed
# this way.
function(plume_install_command name)
  if(TARGET ${name})
    install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  else()
    install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/${name} DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  set_property(GLOBAL APPEND PROPERTY plume_installed_commands ${name})
endfunction()

function(plume_install_documentation)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md TYPE DOC)
  # The README's picture of the plotting tool's maps.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/example.png DESTINATION ${CMAKE_INSTALL_DOCDIR}/tools)
  if(EXISTS ${PROJECT_SOURCE_DIR}/docs)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
  endif()
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endfunction()
