# The start-up check tests look for the running game.
include(${CMAKE_CURRENT_SOURCE_DIR}/game_window_tests.cmake)
