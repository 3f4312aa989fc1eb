# The C# assembly for the Windows ZIPs, built with Mono's mcs on the build
# host (the assembly is the same for x86 and x64). Included from the
# packaging of a Windows build; without mcs it says so and adds nothing.
find_program(QD500_MCS mcs)
if(QD500_MCS)
  set(_qd500_dotnet_dir ${CMAKE_CURRENT_LIST_DIR})
  set(_qd500_dotnet_out ${PROJECT_BINARY_DIR}/dotnet)
  file(GLOB _qd500_dotnet_sources ${_qd500_dotnet_dir}/src/*.cs)
  add_custom_command(
    OUTPUT ${_qd500_dotnet_out}/Qd500.dll ${_qd500_dotnet_out}/Qd500.xml
    COMMAND sh ${_qd500_dotnet_dir}/build.sh ${_qd500_dotnet_out} --library-only
    DEPENDS ${_qd500_dotnet_sources} ${_qd500_dotnet_dir}/build.sh
    COMMENT "Building Qd500.dll (C#) with mcs")
  add_custom_target(qd500-dotnet ALL DEPENDS ${_qd500_dotnet_out}/Qd500.dll)
  install(FILES ${_qd500_dotnet_out}/Qd500.dll ${_qd500_dotnet_out}/Qd500.xml
          DESTINATION ${QD500_DOTNET_DESTINATION})
else()
  message(STATUS "mcs not found: the ZIP goes without Qd500.dll (apt-get install mono-devel)")
endif()
