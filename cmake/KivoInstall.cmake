# SPDX-License-Identifier: Apache-2.0
# Where every installed file goes. The package only sorts these into its three
# binary packages (debian/*.install).

install(TARGETS kivo-cli kivo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kivo-helper RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

set(KIVO_DATA_BUILD ${CMAKE_BINARY_DIR}/data)
install(FILES ${KIVO_DATA_BUILD}/kivo-helper.service DESTINATION ${KIVO_SYSTEMD_UNIT_DIR})
install(FILES ${KIVO_DATA_BUILD}/man/kivo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KIVO_DATA_BUILD}/man/kivo-helper.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

install(FILES ${CMAKE_SOURCE_DIR}/data/com.kivo.Kivo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${KIVO_DATA_BUILD}/com.kivo.Kivo.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_SOURCE_DIR}/data/icons/com.kivo.Kivo.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(png IN LISTS KIVO_ICON_PNGS)
  get_filename_component(sizeDir ${png} DIRECTORY)
  get_filename_component(size ${sizeDir} NAME)
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}/apps)
endforeach()

# kivo-cli's page and completion are generated from its own --help by the cli build.
if(TARGET kivo-cli-docs)
  install(FILES ${CMAKE_BINARY_DIR}/man/kivo-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_BINARY_DIR}/completion/kivo-cli DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()
