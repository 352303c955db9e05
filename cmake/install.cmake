# The installed package: find_package(pxusb) provides pxusb::pxusb (the library, with
# pxusb::pxframework and pxusb::pxplatform) and pxusb::pxsim (the simulated machine).
include(CMakePackageConfigHelpers)
install(TARGETS pxplatform pxsim pxframework pxusb EXPORT pxusbTargets ARCHIVE DESTINATION lib)
install(DIRECTORY platform framework lib DESTINATION include/pxusb FILES_MATCHING PATTERN "*.h")
# The wire format of the pxusb driver, which the kernel-driver binding includes.
install(FILES driver/pxusbwire.h DESTINATION include/pxusb/driver)
install(EXPORT pxusbTargets NAMESPACE pxusb:: DESTINATION lib/cmake/pxusb)
file(WRITE ${CMAKE_BINARY_DIR}/pxusbConfig.cmake
     "include(CMakeFindDependencyMacro)\nfind_dependency(Threads)\n"
     "include(\${CMAKE_CURRENT_LIST_DIR}/pxusbTargets.cmake)\n")
write_basic_package_version_file(${CMAKE_BINARY_DIR}/pxusbConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/pxusbConfig.cmake ${CMAKE_BINARY_DIR}/pxusbConfigVersion.cmake
        DESTINATION lib/cmake/pxusb)
