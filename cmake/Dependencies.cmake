# Third-party libraries, all from Debian's packages (scripts/install-deps.sh installs them).
# Each becomes an imported target named deps::<name>; a module links only what it owns.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

# mbed TLS 2.28 ships no pkg-config file on Debian.
find_path(MBEDTLS_INCLUDE_DIR mbedtls/version.h REQUIRED)
find_library(MBEDCRYPTO_LIBRARY mbedcrypto REQUIRED)
add_library(deps::mbedcrypto UNKNOWN IMPORTED)
set_target_properties(deps::mbedcrypto PROPERTIES IMPORTED_LOCATION ${MBEDCRYPTO_LIBRARY}
                      INTERFACE_INCLUDE_DIRECTORIES ${MBEDTLS_INCLUDE_DIR})

find_package(OpenSSL 3 REQUIRED)
add_library(deps::openssl INTERFACE IMPORTED)
target_link_libraries(deps::openssl INTERFACE OpenSSL::Crypto OpenSSL::SSL)

find_package(CURL REQUIRED)
add_library(deps::curl INTERFACE IMPORTED)
target_link_libraries(deps::curl INTERFACE CURL::libcurl)

pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET jsoncpp)
add_library(deps::jsoncpp INTERFACE IMPORTED)
target_link_libraries(deps::jsoncpp INTERFACE PkgConfig::JSONCPP)

pkg_check_modules(TINYXML REQUIRED IMPORTED_TARGET tinyxml)
add_library(deps::tinyxml INTERFACE IMPORTED)
target_link_libraries(deps::tinyxml INTERFACE PkgConfig::TINYXML)

# cpp-httplib: Debian ships its implementation as a shared library built with OpenSSL, zlib and brotli
# support; its pkg-config module carries the matching definitions. The server and the tests' peers use it.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
add_library(deps::httplib INTERFACE IMPORTED)
target_link_libraries(deps::httplib INTERFACE PkgConfig::HTTPLIB deps::openssl Threads::Threads)

pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)
pkg_check_modules(PANGOCAIRO REQUIRED IMPORTED_TARGET pangocairo cairo)
add_library(deps::gtk INTERFACE IMPORTED)
target_link_libraries(deps::gtk INTERFACE PkgConfig::GTK3)
add_library(deps::cairo INTERFACE IMPORTED)
target_link_libraries(deps::cairo INTERFACE PkgConfig::PANGOCAIRO)

if(VODA_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  find_package(benchmark QUIET)
endif()
