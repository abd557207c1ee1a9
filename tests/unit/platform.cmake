# The game window tests run a real Win32 program under Wine when mingw-w64 built one.
if(KORVUN_WIN32_GAME)
    add_dependencies(unit_platform win32_game)
    target_compile_definitions(unit_platform PRIVATE KORVUN_WIN32_GAME="${KORVUN_WIN32_GAME}")
endif()
