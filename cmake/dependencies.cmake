# Every library is linked statically so the shipped programs load nothing beyond the C library:
# OpenSSL (3.5 or newer, for ML-DSA), libcurl and libarchive from the cache that scripts/deps.sh fills
# (passed as OPENSSL_ROOT_DIR, CMAKE_PREFIX_PATH and LIBARCHIVE_ROOT), Zstandard from Debian's libzstd.a.
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

# Debian's own libarchive.a needs xml2, ICU, nettle, ACL and five compression libraries: only the
# cached tar-only build will do, so the system's is never searched.
set(LIBARCHIVE_ROOT "" CACHE PATH "Prefix of the static tar-only libarchive that scripts/deps.sh builds")
# Not cached: a new prefix from scripts/deps.sh must take effect on the next configure.
set(TRELK_LIBARCHIVE_INCLUDE_DIR ${LIBARCHIVE_ROOT}/include)
set(TRELK_LIBARCHIVE_LIBRARY ${LIBARCHIVE_ROOT}/lib/libarchive.a)
if(NOT LIBARCHIVE_ROOT OR NOT EXISTS ${TRELK_LIBARCHIVE_LIBRARY} OR NOT EXISTS ${TRELK_LIBARCHIVE_INCLUDE_DIR}/archive.h)
  message(FATAL_ERROR "No static libarchive under LIBARCHIVE_ROOT='${LIBARCHIVE_ROOT}'; run scripts/deps.sh")
endif()
add_library(trelk_libarchive STATIC IMPORTED)
set_target_properties(trelk_libarchive PROPERTIES IMPORTED_LOCATION ${TRELK_LIBARCHIVE_LIBRARY}
                                                  INTERFACE_INCLUDE_DIRECTORIES ${TRELK_LIBARCHIVE_INCLUDE_DIR})

find_path(TRELK_ZSTD_INCLUDE_DIR zstd.h REQUIRED)
find_library(TRELK_ZSTD_LIBRARY NAMES libzstd.a REQUIRED)
add_library(trelk_zstd STATIC IMPORTED)
set_target_properties(trelk_zstd PROPERTIES IMPORTED_LOCATION ${TRELK_ZSTD_LIBRARY}
                                            INTERFACE_INCLUDE_DIRECTORIES ${TRELK_ZSTD_INCLUDE_DIR}
                                            INTERFACE_LINK_LIBRARIES Threads::Threads)

add_library(trelk_deps INTERFACE)
add_library(trelk::deps ALIAS trelk_deps)
target_link_libraries(trelk_deps INTERFACE
  CURL::libcurl_static OpenSSL::SSL OpenSSL::Crypto nlohmann_json::nlohmann_json
  trelk_libarchive trelk_zstd Threads::Threads ${CMAKE_DL_LIBS})

# Shipped programs (apps/ and tools/) also carry the C++ runtime. The sanitizer runtimes expect the
# shared libstdc++, so sanitizer builds keep it.
add_library(trelk_program INTERFACE)
if(NOT TRELK_SANITIZE)
  target_link_options(trelk_program INTERFACE -static-libstdc++ -static-libgcc)
endif()
