# Install the CMake package, the pkg-config file and a Debian package description.
include(CMakePackageConfigHelpers)
set(TWK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarnwick_testlibs)
install(EXPORT tarnwick_testlibsTargets NAMESPACE tarnwick_testlibs:: DESTINATION ${TWK_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tarnwick_testlibsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tarnwick_testlibsConfig.cmake INSTALL_DESTINATION ${TWK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarnwick_testlibsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarnwick_testlibsConfig.cmake
  ${PROJECT_BINARY_DIR}/tarnwick_testlibsConfigVersion.cmake DESTINATION ${TWK_CMAKE_DIR})
# Every installed library, since any installed header may call into any of them.
set(TWK_PC_LIBS "-ltarnwick_collect_results -ltarnwick_probe_deployer -ltarnwick_subnet_scout -ltarnwick_spoke -ltarnwick_nat \
-ltarnwick_gatepass -ltarnwick_twk_https -ltarnwick_s3 -ltarnwick_aws_session -ltarnwick_testconfig \
-ltarnwick_runkit -ltarnwick_chronicle -ltarnwick_FailureLatch -ltarnwick_AppExitStatus -ltarnwick_Globals \
-ltarnwick_twk_logging -ltarnwick_cli -ltarnwick_aws -ltarnwick_base")
file(RELATIVE_PATH TWK_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" TWK_PC_TO_PREFIX "${TWK_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tarnwick_testlibs.pc.in
  ${PROJECT_BINARY_DIR}/tarnwick_testlibs.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarnwick_testlibs.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick-testlibs)
# The same version as --version and the pkg-config file.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tarnwick test tooling")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Test subnet discovery and test instance deployment for AWS")
# The package holds the headers, the CMake package and the .pc file too, and those require
# nlohmann-json's headers.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4, libssl3, libpugixml1v5, libfmt9, nlohmann-json3-dev (>= 3.11)")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
