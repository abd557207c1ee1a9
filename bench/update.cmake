# The download benchmark runs the console updater over a whole update (its package written
# with libzip) to measure the updater's peak memory.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
target_link_libraries(bench_${name} PRIVATE PkgConfig::LIBZIP)
add_dependencies(bench_${name} korvun-updater-console)
target_compile_definitions(bench_${name} PRIVATE
    KORVUN_CONSOLE_PATH="$<TARGET_FILE:korvun-updater-console>")
# The delta benchmark builds and publishes its release with the operator's tool.
add_dependencies(bench_${name} korvun-tool)
target_compile_definitions(bench_${name} PRIVATE KORVUN_TOOL_PATH="$<TARGET_FILE:korvun-tool>")
