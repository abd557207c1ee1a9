# The package reader's tests write their packages with libzip, an independent ZIP writer, and
# compare with what Info-ZIP's unzip and korvun-tool do.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
target_link_libraries(unit_zip PRIVATE PkgConfig::LIBZIP)
if(TARGET korvun-tool)
    add_dependencies(unit_zip korvun-tool)
    target_compile_definitions(unit_zip PRIVATE KORVUN_TOOL="$<TARGET_FILE:korvun-tool>")
endif()
