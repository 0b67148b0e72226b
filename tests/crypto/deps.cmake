# OpenSSL's libcrypto is the reference the crypto tests compare against; it is never linked into
# the program.
find_package(OpenSSL REQUIRED)
target_link_libraries(${target} PRIVATE OpenSSL::Crypto)
# The single-DES, Blowfish and low-level RSA/DSA interfaces used as references are deprecated in
# OpenSSL 3 but remain the most direct oracles.
target_compile_definitions(${target} PRIVATE OPENSSL_SUPPRESS_DEPRECATED)
