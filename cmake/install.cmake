# What `cmake --install` puts where (GNUInstallDirs): the library, its header,
# the tools (tools/CMakeLists.txt), a CMake package giving ambercrypt::ambercrypt
# and ambercrypt.pc. Then the packages cpack makes from the same rules: a
# Debian package on Linux (with the state directory and the scripts that give
# it to the group ambercrypt), a zip on Windows.
include(CMakePackageConfigHelpers)

set(AMBERCRYPT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ambercrypt)

install(TARGETS ambercrypt EXPORT ambercryptTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ambercrypt
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ambercrypt
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ambercrypt)
install(FILES ${PROJECT_SOURCE_DIR}/include/ambercrypt/ambercrypt.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ambercrypt
  COMPONENT ambercrypt)
# The response verifier for applications: a static library of its own
# (ambercrypt::verifier, ambercrypt_verifier.pc) and its header.
install(TARGETS ambercrypt_verifier EXPORT ambercryptTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ambercrypt)
install(FILES ${PROJECT_SOURCE_DIR}/include/ambercrypt/verifier.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ambercrypt
  COMPONENT ambercrypt)
if(WIN32)
  # The names and ordinals 1-19 the DLL exports, for linkers that make their
  # own import library from them.
  install(FILES ${PROJECT_SOURCE_DIR}/exports.def DESTINATION ${CMAKE_INSTALL_LIBDIR} RENAME ambercrypt.def
    COMPONENT ambercrypt)
endif()

install(EXPORT ambercryptTargets NAMESPACE ambercrypt:: DESTINATION ${AMBERCRYPT_CMAKE_DIR} COMPONENT ambercrypt)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ambercryptConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ambercryptConfig.cmake INSTALL_DESTINATION ${AMBERCRYPT_CMAKE_DIR})
# 0.x: a new minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ambercryptConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ambercryptConfig.cmake ${PROJECT_BINARY_DIR}/ambercryptConfigVersion.cmake
  DESTINATION ${AMBERCRYPT_CMAKE_DIR} COMPONENT ambercrypt)

# ambercrypt.pc names the prefix it is installed under, which is known only
# when installing (cmake --install --prefix, cpack): the configure step fills
# in everything else and leaves a token for it. The Windows zip is unpacked
# anywhere: there the prefix is found from the .pc file's own place.
if(WIN32)
  file(RELATIVE_PATH AMBERCRYPT_PC_UP /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" AMBERCRYPT_PC_UP "${AMBERCRYPT_PC_UP}")
  set(AMBERCRYPT_PC_PREFIX "\${pcfiledir}/${AMBERCRYPT_PC_UP}")
else()
  set(AMBERCRYPT_PC_PREFIX "@AMBERCRYPT_INSTALL_PREFIX@")
endif()
# What a program linking the static verifier needs besides it.
if(WIN32)
  set(AMBERCRYPT_VERIFIER_PC_LIBS "-lcrypt32 -ladvapi32 -lstdc++")
else()
  set(AMBERCRYPT_VERIFIER_PC_LIBS "-lcrypto -lstdc++")
endif()
foreach(pc ambercrypt ambercrypt_verifier)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc.in @ONLY)
  install(CODE "
    file(READ \"${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc.in\" pc)
    string(REPLACE \"@AMBERCRYPT_INSTALL_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" pc \"\${pc}\")
    file(WRITE \"${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc\" \"\${pc}\")
    file(INSTALL \"${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
  " COMPONENT ambercrypt)
endforeach()

# ---- Packages -------------------------------------------------------------------
set(CPACK_PACKAGE_NAME ambercrypt)
set(CPACK_PACKAGE_VENDOR "ambercrypt")
set(CPACK_PACKAGE_CONTACT "ambercrypt maintainers <ambercrypt@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "BioAPI 2.0 security library: BSP function control, BIR encryption, lockout policy")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ambercrypt-${PROJECT_VERSION}-win64)
  set(CPACK_COMPONENTS_ALL ambercrypt)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
else()
  # The state directory, made only for the package (never by a plain
  # `cmake --install`, which must not touch /var/lib): root-only write, and
  # the parts every host writes in sticky and setgid, so what a host makes
  # there stays in the group the package gives the tree (postinst).
  install(CODE "
    set(state \"\$ENV{DESTDIR}/var/lib/ambercrypt\")
    foreach(entry \".:0750\" \"certs:0750\" \"certs/ROOT:0750\" \"shared:3770\" \"locks:3770\")
      string(REPLACE \":\" \";\" entry \"\${entry}\")
      list(GET entry 0 dir)
      list(GET entry 1 mode)
      file(MAKE_DIRECTORY \"\${state}/\${dir}\")
      execute_process(COMMAND chmod \${mode} \"\${state}/\${dir}\" RESULT_VARIABLE rc)
      if(rc)
        message(FATAL_ERROR \"cannot set the mode of \${state}/\${dir}\")
      endif()
    endforeach()
  " COMPONENT state EXCLUDE_FROM_ALL)

  set(CPACK_GENERATOR DEB)
  # DESTDIR staging, so the state directory lands under /var beside /usr.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_COMPONENTS_ALL ambercrypt state)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # groupadd (passwd) when adduser's addgroup is not there.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser | passwd")
  set(AMBERCRYPT_PACKAGE_BINDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/postinst.in ${PROJECT_BINARY_DIR}/debian/postinst @ONLY)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()
include(CPack)
