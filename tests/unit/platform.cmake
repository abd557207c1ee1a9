# The game-window tests open their own X11 windows to be found, and run a real Win32 program
# under Wine when mingw-w64 built one.
target_link_libraries(unit_platform PRIVATE korvun_game_window)
if(NOT WIN32)
    find_package(X11 REQUIRED)
    target_link_libraries(unit_platform PRIVATE ${X11_LIBRARIES})
    target_include_directories(unit_platform PRIVATE ${X11_INCLUDE_DIR})
endif()
if(KORVUN_WIN32_GAME)
    add_dependencies(unit_platform win32_game)
    target_compile_definitions(unit_platform PRIVATE KORVUN_WIN32_GAME="${KORVUN_WIN32_GAME}")
endif()
