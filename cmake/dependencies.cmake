# OpenSSL (3.5 or newer, for ML-DSA) and libcurl are linked statically from the
# cache that scripts/deps.sh fills; everything else comes from Debian packages.
set(OPENSSL_USE_STATIC_LIBS TRUE)
find_package(OpenSSL 3.5 REQUIRED COMPONENTS Crypto SSL)
if(OPENSSL_VERSION VERSION_LESS 3.5)
  message(FATAL_ERROR "OpenSSL ${OPENSSL_VERSION} lacks ML-DSA; run scripts/deps.sh and pass OPENSSL_ROOT_DIR")
endif()
if(NOT OPENSSL_CRYPTO_LIBRARY MATCHES "\\.a$")
  message(FATAL_ERROR "OpenSSL must be linked statically (found ${OPENSSL_CRYPTO_LIBRARY})")
endif()

find_package(CURL REQUIRED CONFIG)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
pkg_check_modules(LIBZSTD REQUIRED IMPORTED_TARGET libzstd)
find_package(ZLIB REQUIRED)

add_library(trelk_deps INTERFACE)
add_library(trelk::deps ALIAS trelk_deps)
target_link_libraries(trelk_deps INTERFACE
  CURL::libcurl_static OpenSSL::SSL OpenSSL::Crypto nlohmann_json::nlohmann_json
  PkgConfig::LIBARCHIVE PkgConfig::LIBZSTD ZLIB::ZLIB Threads::Threads ${CMAKE_DL_LIBS})
