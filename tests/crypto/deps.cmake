# OpenSSL's libcrypto is also the reference the crypto tests compare our own algorithms against;
# the tests call it directly as well as through our wrappers.
find_package(OpenSSL REQUIRED)
target_link_libraries(${target} PRIVATE OpenSSL::Crypto)
# The single-DES, Blowfish and low-level RSA/DSA interfaces used as references are deprecated in
# OpenSSL 3 but remain the most direct oracles.
target_compile_definitions(${target} PRIVATE OPENSSL_SUPPRESS_DEPRECATED)
