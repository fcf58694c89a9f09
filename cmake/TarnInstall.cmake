# Installs the library, its public headers, a CMake package and a pkg-config file, so applications
# can find_package(tarn_c_sdk) and link tarn::tarn_c_sdk, or ask pkg-config for tarn_c_sdk.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARN_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarn_c_sdk)
set(TARN_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Installs one of the library's components beside it: the target as tarn::<COMPONENT> in the
# CMake package (find_package(tarn_c_sdk COMPONENTS <COMPONENT>)), and a pkg-config file
# tarn_<COMPONENT>.pc that requires the packages in REQUIRES. LIBS_PRIVATE are the system
# libraries a static build of the component needs its users to link too; FIND_DEPENDENCIES the
# CMake packages its exported target names (found again by find_package).
#   tarn_install_component(tarn_recording COMPONENT recording DESCRIPTION "..."
#                          REQUIRES tarn_c_sdk LIBS_PRIVATE -lpcap)
function(tarn_install_component target)
  cmake_parse_arguments(ARG "" "COMPONENT;DESCRIPTION" "REQUIRES;LIBS_PRIVATE;FIND_DEPENDENCIES"
                        ${ARGN})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${ARG_COMPONENT})
  install(TARGETS ${target} EXPORT tarn_${ARG_COMPONENT}Targets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT tarn_${ARG_COMPONENT}Targets NAMESPACE tarn:: DESTINATION ${TARN_CMAKE_PACKAGE_DIR})
  set_property(GLOBAL APPEND PROPERTY TARN_COMPONENTS ${ARG_COMPONENT})
  set(_dependencies "include(CMakeFindDependencyMacro)\n")
  foreach(package IN LISTS ARG_FIND_DEPENDENCIES)
    string(APPEND _dependencies "find_dependency(${package})\n")
  endforeach()
  set(_dependencies_file ${CMAKE_CURRENT_BINARY_DIR}/tarn_${ARG_COMPONENT}Dependencies.cmake)
  file(WRITE ${_dependencies_file} "${_dependencies}")
  install(FILES ${_dependencies_file} DESTINATION ${TARN_CMAKE_PACKAGE_DIR})

  set(TARN_PC_NAME tarn_${ARG_COMPONENT})
  set(TARN_PC_DESCRIPTION "${ARG_DESCRIPTION}")
  string(REPLACE ";" ", " TARN_PC_REQUIRES "${ARG_REQUIRES}")
  string(REPLACE ";" " " _private "${ARG_LIBS_PRIVATE}")
  set(TARN_PC_LIBS "-L\${libdir} -l${target}")
  if(BUILD_SHARED_LIBS)
    set(TARN_PC_LIBS_PRIVATE "${_private}")
  else()
    string(APPEND TARN_PC_LIBS " ${_private}")
    set(TARN_PC_LIBS_PRIVATE "")
  endif()
  set(TARN_PC_PREFIX "@TARN_PC_PREFIX@")
  set(_in ${CMAKE_CURRENT_BINARY_DIR}/tarn_${ARG_COMPONENT}.pc.in)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/tarn_component.pc.in ${_in} @ONLY)
  install(CODE "
    set(TARN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(_tarn_pc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${TARN_PKGCONFIG_DIR}/tarn_${ARG_COMPONENT}.pc\")
    message(STATUS \"Installing: \${_tarn_pc}\")
    configure_file(\"${_in}\" \"\${_tarn_pc}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${_tarn_pc}\")
  ")
endfunction()

tarn_install_component(tarn_recording COMPONENT recording REQUIRES tarn_c_sdk LIBS_PRIVATE -lpcap
                       DESCRIPTION "tarn SDK: recordings of streams (pcap) and one frame source for live and recorded frames")
tarn_install_component(tarn_sim COMPONENT sim LIBS_PRIVATE -lstdc++ -lm -pthread
                       DESCRIPTION "tarn SDK: the simulated sensor on loopback")
tarn_install_component(tarn_messages COMPONENT messages REQUIRES tarn_c_sdk
                       DESCRIPTION "tarn SDK: frames as ROS 2 messages (CDR)")
tarn_install_component(tarn_mcap COMPONENT mcap REQUIRES tarn_messages
                       DESCRIPTION "tarn SDK: ROS 2 recordings in MCAP files"
                       LIBS_PRIVATE -lz -lzstd -llz4 FIND_DEPENDENCIES ZLIB Threads)


install(TARGETS tarn_c_sdk EXPORT tarn_c_sdkTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Every public header, including the C interface's folder, keeps its place below include/.
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
install(EXPORT tarn_c_sdkTargets NAMESPACE tarn:: DESTINATION ${TARN_CMAKE_PACKAGE_DIR})
get_property(TARN_COMPONENTS GLOBAL PROPERTY TARN_COMPONENTS)
configure_package_config_file(cmake/tarn_c_sdkConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/tarn_c_sdkConfig.cmake
                              INSTALL_DESTINATION ${TARN_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tarn_c_sdkConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarn_c_sdkConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/tarn_c_sdkConfigVersion.cmake
        DESTINATION ${TARN_CMAKE_PACKAGE_DIR})

# pkg-config. A static library brings its C++ runtime and threads with it, since a C program
# linking it would not otherwise pull them in.
set(TARN_PC_LIBS "-L\${libdir} -ltarn_c_sdk")
if(BUILD_SHARED_LIBS)
  set(TARN_PC_LIBS_PRIVATE "-pthread")
else()
  string(APPEND TARN_PC_LIBS " -lstdc++ -lm -pthread")
  set(TARN_PC_LIBS_PRIVATE "")
endif()
# The prefix is only known at install time (cmake --install --prefix, or /usr inside the Debian
# package), so the file is written then, straight into the destination.
set(TARN_PC_PREFIX "@TARN_PC_PREFIX@")
configure_file(cmake/tarn_c_sdk.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarn_c_sdk.pc.in @ONLY)
install(CODE "
  set(TARN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(_tarn_pc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${TARN_PKGCONFIG_DIR}/tarn_c_sdk.pc\")
  message(STATUS \"Installing: \${_tarn_pc}\")
  configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/tarn_c_sdk.pc.in\" \"\${_tarn_pc}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${_tarn_pc}\")
")
tarn_install_component(tarn_view COMPONENT view REQUIRES tarn_messages
                       DESCRIPTION "tarn SDK: the live viewer, over HTTP and the Foxglove WebSocket protocol")
tarn_install_component(tarn_dds COMPONENT dds REQUIRES tarn_messages
                       DESCRIPTION "tarn SDK: ROS 2 topics over DDS (Cyclone DDS)"
                       FIND_DEPENDENCIES CycloneDDS)
