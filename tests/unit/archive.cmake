# The tool tests run the built korvun-tool.
if(TARGET korvun-tool)
    add_dependencies(unit_archive korvun-tool)
endif()
# The merge tests check the player's messages as the update layer chooses them.
target_link_libraries(unit_archive PRIVATE korvun_update)
