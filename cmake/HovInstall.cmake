# What `cmake --install` puts in place: the shared library and the modem library with their
# public headers, the hov tool, a CMake package (find_package(hov) -> hov::hov, hov::modem) and,
# on Linux, the pkg-config files hov and hov-modem.
# Nothing else is installed: the static internals, the tests and the benchmarks stay in the tree.
#
# On Windows the same rules give a zip-ready folder: the custom target hov_package installs into
# build/<tree>/package/hov-<version>-<arch>/ and checks that hov.exe needs no DLL beyond the
# system's and hov.dll.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(HOV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/hov)

if(NOT WIN32)
  # libhov.so -> libhov.so.0 -> libhov.so.0.1.0; the SONAME carries the major version.
  set_target_properties(hov PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()
set_target_properties(hov_modem PROPERTIES EXPORT_NAME modem)

install(TARGETS hov hov_modem EXPORT hovTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/hov/hov.h ${PROJECT_SOURCE_DIR}/include/hov/modem.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hov)

if(TARGET hov_cli)
  if(NOT WIN32)
    # The installed tool finds the installed library through a path relative to itself.
    file(RELATIVE_PATH hov_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(hov_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${hov_bin_to_lib}")
  endif()
  install(TARGETS hov_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# CMake package: hovConfig.cmake, hovConfigVersion.cmake, hovTargets*.cmake.
install(EXPORT hovTargets NAMESPACE hov:: DESTINATION ${HOV_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/hovConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/hovConfig.cmake
                              INSTALL_DESTINATION ${HOV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/hovConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/hovConfig.cmake ${PROJECT_BINARY_DIR}/hovConfigVersion.cmake
        DESTINATION ${HOV_CMAKE_DIR})

if(NOT WIN32)
  # hov.pc is written when installing, so that its prefix is the one installed into, also when
  # `cmake --install --prefix` overrides the prefix the tree was configured with.
  foreach(hov_pc hov hov-modem)
    set(hov_pc_in ${PROJECT_SOURCE_DIR}/cmake/${hov_pc}.pc.in)
    set(hov_pc_out ${PROJECT_BINARY_DIR}/${hov_pc}.pc)
    install(CODE "
      set(PROJECT_VERSION \"${PROJECT_VERSION}\")
      set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
      set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
      configure_file(\"${hov_pc_in}\" \"${hov_pc_out}\" @ONLY)
      file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\"
           TYPE FILE FILES \"${hov_pc_out}\")")
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
endif()

if(WIN32 AND TARGET hov_cli)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(hov_arch win64)
  else()
    set(hov_arch win32)
  endif()
  set(HOV_PACKAGE_DIR ${PROJECT_BINARY_DIR}/package/hov-${PROJECT_VERSION}-${hov_arch})
  add_custom_target(hov_package
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${HOV_PACKAGE_DIR}
    COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${HOV_PACKAGE_DIR}
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-imports ${HOV_OBJDUMP}
            ${HOV_PACKAGE_DIR}/${CMAKE_INSTALL_BINDIR}/hov.exe hov.dll
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-imports ${HOV_OBJDUMP}
            ${HOV_PACKAGE_DIR}/${CMAKE_INSTALL_BINDIR}/hov.dll
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-imports ${HOV_OBJDUMP}
            ${HOV_PACKAGE_DIR}/${CMAKE_INSTALL_BINDIR}/hov_modem.dll
    DEPENDS hov hov_modem hov_cli
    COMMENT "Zip-ready folder ${HOV_PACKAGE_DIR}"
    VERBATIM)
endif()
