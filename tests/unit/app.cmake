# The game window tests run a real Win32 program under Wine when mingw-w64 built one.
if(KORVUN_WIN32_GAME)
    add_dependencies(unit_app win32_game)
    target_compile_definitions(unit_app PRIVATE KORVUN_WIN32_GAME="${KORVUN_WIN32_GAME}")
endif()
