# SPDX-License-Identifier: Apache-2.0
# Install rules of the host SDK and the broker. One installed tree holds both architectures:
# bin/<arch>/TarnvelBroker.exe and tarnvel-host.exe, lib/<arch>/*.a (or .lib), include/tarnvel/, and
# lib/cmake/TarnvelBroker/ with a config that picks the consumer's architecture.
include(CMakePackageConfigHelpers)

set(TARNVEL_CMAKE_DIR lib/cmake/TarnvelBroker)
install(TARGETS TarnvelBroker RUNTIME DESTINATION bin/${TARNVEL_ARCH})
# The host stand-in beside the broker, which it starts by default.
if(TARGET tarnvel-host)
  install(TARGETS tarnvel-host RUNTIME DESTINATION bin/${TARNVEL_ARCH})
endif()
# The host library's static dependencies travel with it (linked, not used directly).
install(TARGETS tarnvel_host_client tarnvel_host_replies tarnvel_ipc tarnvel_base
  EXPORT TarnvelBrokerTargets
  ARCHIVE DESTINATION lib/${TARNVEL_ARCH})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tarnvel DESTINATION include)
install(EXPORT TarnvelBrokerTargets NAMESPACE Tarnvel:: DESTINATION ${TARNVEL_CMAKE_DIR}/${TARNVEL_ARCH})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TarnvelBrokerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TarnvelBrokerConfig.cmake INSTALL_DESTINATION ${TARNVEL_CMAKE_DIR})
# The architecture is checked by the config itself, so that one version file serves both.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarnvelBrokerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/TarnvelBrokerConfig.cmake ${PROJECT_BINARY_DIR}/TarnvelBrokerConfigVersion.cmake
  DESTINATION ${TARNVEL_CMAKE_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/protocol.md ${PROJECT_SOURCE_DIR}/docs/host-sdk.md DESTINATION doc)
