// Owning handles for the OpenSSL objects the library and its tools create.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <memory>

namespace trelk {

template <auto Free>
struct OpenSslFree {
  template <typename T>
  void operator()(T* object) const {
    Free(object);
  }
};

using OpenSslKey = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using OpenSslBio = std::unique_ptr<BIO, OpenSslFree<BIO_free>>;
using OpenSslDigestContext = std::unique_ptr<EVP_MD_CTX, OpenSslFree<EVP_MD_CTX_free>>;

}  // namespace trelk
