# Installs the library, its header and a CMake package so applications can
#   find_package(tarn_c_sdk) and link tarn::tarn_c_sdk.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS tarn_c_sdk EXPORT tarn_c_sdkTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/KESOApi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT tarn_c_sdkTargets NAMESPACE tarn::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarn_c_sdk)
configure_package_config_file(cmake/tarn_c_sdkConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/tarn_c_sdkConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarn_c_sdk)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tarn_c_sdkConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarn_c_sdkConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/tarn_c_sdkConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarn_c_sdk)
