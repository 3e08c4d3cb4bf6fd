# SPDX-License-Identifier: Apache-2.0
# Install rules of the host SDK and the broker. One installed tree holds both architectures:
# bin/<arch>/ the broker, tarnvel-host and TarnvelHost.dll; lib/<arch>/ the DLL's import
# libraries for MinGW (libTarnvelHost.dll.a) and MSVC-style linkers (TarnvelHost.lib);
# lib/TarnvelHost.def; include/tarnvel/; and lib/cmake/TarnvelBroker/ with a config that picks
# the consumer's architecture and linker. Nothing internal is installed or exported.
include(CMakePackageConfigHelpers)

set(TARNVEL_CMAKE_DIR lib/cmake/TarnvelBroker)
install(TARGETS TarnvelBroker RUNTIME DESTINATION bin/${TARNVEL_ARCH})
# The host stand-in beside the broker, which it starts by default.
if(TARGET tarnvel-host)
  install(TARGETS tarnvel-host RUNTIME DESTINATION bin/${TARNVEL_ARCH})
endif()
install(TARGETS tarnvel_host_dll RUNTIME DESTINATION bin/${TARNVEL_ARCH} ARCHIVE DESTINATION lib/${TARNVEL_ARCH})
if(TARNVEL_HOST_MSVC_LIB)
  install(FILES ${TARNVEL_HOST_MSVC_LIB} DESTINATION lib/${TARNVEL_ARCH})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/sdk/TarnvelHost.def DESTINATION lib)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tarnvel DESTINATION include)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TarnvelBrokerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TarnvelBrokerConfig.cmake INSTALL_DESTINATION ${TARNVEL_CMAKE_DIR})
# The architecture is checked by the config itself, so that one version file serves both.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarnvelBrokerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/TarnvelBrokerConfig.cmake ${PROJECT_BINARY_DIR}/TarnvelBrokerConfigVersion.cmake
  DESTINATION ${TARNVEL_CMAKE_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/protocol.md ${PROJECT_SOURCE_DIR}/docs/host-sdk.md DESTINATION doc)
