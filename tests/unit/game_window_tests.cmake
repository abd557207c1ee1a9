# For a test program whose tests open X11 windows that stand for the running game, and run a
# real Win32 program under Wine when mingw-w64 built one. Included from <module>.cmake.
if(NOT WIN32)
    find_package(X11 REQUIRED)
    target_link_libraries(unit_${module} PRIVATE ${X11_LIBRARIES})
    target_include_directories(unit_${module} PRIVATE ${X11_INCLUDE_DIR})
endif()
if(KORVUN_WIN32_GAME)
    add_dependencies(unit_${module} win32_game)
    target_compile_definitions(unit_${module} PRIVATE KORVUN_WIN32_GAME="${KORVUN_WIN32_GAME}")
endif()
