# The extraction benchmark writes its package with libzip.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
target_link_libraries(bench_${name} PRIVATE PkgConfig::LIBZIP)
