# What installing kestrow-sim puts below the prefix, and nothing else: the
# program, the sample machines it finds by name, its manual page and its
# bash completion. The program finds the samples relative to its own folder
# (sim/machine/CMakeLists.txt), so the installation works wherever it lies.
install(TARGETS kestrow-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/sim/machines/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrow-sim/machines)
install(FILES ${CMAKE_SOURCE_DIR}/man/kestrow-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/completion/kestrow-sim
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
