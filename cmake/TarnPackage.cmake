# The Debian packages of this build (libtarn-c-sdk1, libtarn-c-sdk-dev, tarn-tools,
# python3-tarn), split from a staged cmake --install by scripts/debian-packages. Build the tree,
# then
#   cmake --build <build> --target debian_packages      # writes <build>/debian/*.deb
add_custom_target(debian_packages
  COMMAND ${CMAKE_COMMAND} -E env CMAKE=${CMAKE_COMMAND}
          ${PROJECT_SOURCE_DIR}/scripts/debian-packages ${PROJECT_BINARY_DIR}
          ${PROJECT_BINARY_DIR}/debian
  COMMENT "Building the Debian packages from a staged install" USES_TERMINAL VERBATIM)
