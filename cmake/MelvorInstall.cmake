# Installation: libraries with their SONAME links, public headers, pkg-config
# files, a CMake package (find_package(melvor) gives melvor::melvor and
# melvor::sandrel), tools.
include(CMakePackageConfigHelpers)

set(MELVOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/melvor)

install(TARGETS melvor sandrel EXPORT melvorTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS melvor-info melvor-play RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

foreach(pc melvor sandrel)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/pkgconfig/${pc}.pc.in
    ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

install(EXPORT melvorTargets NAMESPACE melvor:: DESTINATION ${MELVOR_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/melvorConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/melvorConfig.cmake INSTALL_DESTINATION ${MELVOR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/melvorConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/melvorConfig.cmake
  ${CMAKE_BINARY_DIR}/cmake/melvorConfigVersion.cmake DESTINATION ${MELVOR_CMAKE_DIR})
