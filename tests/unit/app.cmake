# The start-up check tests open an X11 window that stands for the running game, and run a real
# Win32 program under Wine when mingw-w64 built one.
if(NOT WIN32)
    find_package(X11 REQUIRED)
    target_link_libraries(unit_app PRIVATE ${X11_LIBRARIES})
    target_include_directories(unit_app PRIVATE ${X11_INCLUDE_DIR})
endif()
if(KORVUN_WIN32_GAME)
    add_dependencies(unit_app win32_game)
    target_compile_definitions(unit_app PRIVATE KORVUN_WIN32_GAME="${KORVUN_WIN32_GAME}")
endif()
