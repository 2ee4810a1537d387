# Release packages: a Windows zip of the shipped 32-bit program, a Linux tar.gz of the native one,
# each with the players' README of its platform.
#
# No .deb: the program keeps its files (the application ID, the log, the game's status file) in
# the folder beside its executable, so it belongs in the game's folder, not in a system folder
# that a package manager owns.
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-players.txt DESTINATION . RENAME README.txt)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-players-linux.txt DESTINATION . RENAME README.txt)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/discord_application_id.example DESTINATION Brightrelay)

set(CPACK_PACKAGE_NAME brightrelay)
set(CPACK_PACKAGE_VENDOR "Brightrelay")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Shows the game's status as Discord Rich Presence")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME windows-x86)
  else()
    set(CPACK_SYSTEM_NAME windows-x64)
  endif()
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
include(CPack)
