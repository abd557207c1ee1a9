# The tool tests run the built korvun-tool.
if(TARGET korvun-tool)
    add_dependencies(unit_archive korvun-tool)
endif()
