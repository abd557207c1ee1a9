# The game-window tests open their own windows to be found.
target_link_libraries(unit_platform PRIVATE korvun_game_window)
include(${CMAKE_CURRENT_SOURCE_DIR}/game_window_tests.cmake)
