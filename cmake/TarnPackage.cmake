# A Debian package of everything cmake --install puts in place: library, headers, CMake package,
# pkg-config file and tools. Build it from a build tree with
#   cpack --config <build>/CPackConfig.cmake -B <output folder>
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarn-c-sdk)
set(CPACK_PACKAGE_VENDOR "tarn")
set(CPACK_PACKAGE_CONTACT "tarn SDK developers <tarn-sdk@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "libtarn_c_sdk streams frames from the sensor over UDP, reads and writes its network settings, \
rotates frames and measures the tilt of a plane. The package holds the library, its headers, \
the CMake package and pkg-config file for building against it, and the simulated sensor and \
streaming example tools.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
# Runtime dependencies (libc, libstdc++, libgcc) come from the binaries themselves; the shlibs file
# lets packages built against this one depend on it, and triggers ldconfig on install and removal.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The Python module is not linked against Python: name its interpreter and NumPy by hand.
if(TARGET tarn_python)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-numpy")
endif()
include(CPack)
