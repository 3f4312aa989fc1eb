# The packages made from the install: a Debian package on Linux
# (cpack -G DEB, from the release build configured by scripts/package.sh with
# the prefix /usr) and a ZIP archive for Windows integrators (cpack -G ZIP,
# from the windows build).
set(CPACK_PACKAGE_NAME qd500)
set(CPACK_PACKAGE_VENDOR "the qd500 developers")
set(CPACK_PACKAGE_CONTACT "qd500 developers <qd500@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Driver of a desktop card reader on an RS-232 line, with a simulator and a command-line tool")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Everything at the top of the archive: the DLLs, their import libraries
  # and module-definition files, the headers, the example host, the guide.
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME qd500-${PROJECT_VERSION}-windows-x64)
    install(FILES ${PROJECT_SOURCE_DIR}/exports/qd500dll64.def DESTINATION ${CMAKE_INSTALL_LIBDIR} RENAME qd500dll.def)
  else()
    set(CPACK_PACKAGE_FILE_NAME qd500-${PROJECT_VERSION}-windows-x86)
    install(FILES ${PROJECT_SOURCE_DIR}/exports/qd500dll.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/api/qd500.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-windows.txt ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  # The C# assembly and its documentation beside qd500.dll.
  set(QD500_DOTNET_DESTINATION ${CMAKE_INSTALL_BINDIR})
  include(${PROJECT_SOURCE_DIR}/bindings/dotnet/dotnet.cmake)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  if(QD500_JAVA)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libjna-java")
  endif()
  # OpenSSL is loaded only when a TLS line opens (no link-time dependency).
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libssl3")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
 The drop-in driver library (libqd500dll), the reader API for new code
 (libqd500, with C and C++ headers), the reader simulator qd500-sim and the
 command-line tool qd500.")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The one maintainer script of ours (CPack adds ldconfig's for the
  # libraries): the Python bytecode goes with the package.
  set(QD500_PYTHON_FULL_DIR ${CMAKE_INSTALL_PREFIX}/${QD500_PYTHON_DIR})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/prerm.in ${PROJECT_BINARY_DIR}/debian/prerm @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/prerm)
  # The PC/SC driver's reader configuration is the user's to edit: a conffile.
  if(TARGET qd500-ifd)
    set(conf ${QD500_PCSC_CONF_DIR}/qd500)
    if(NOT IS_ABSOLUTE ${conf})
      set(conf ${CMAKE_INSTALL_PREFIX}/${conf})
    endif()
    file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "${conf}\n")
    list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles)
  endif()
endif()

include(CPack)
