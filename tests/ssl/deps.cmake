# OpenSSL's libcrypto is the reference for the record layer and the PRF, and holds the private key
# of the tests' TLS server; it is never linked into the program.
find_package(OpenSSL REQUIRED)
target_link_libraries(${target} PRIVATE OpenSSL::Crypto)
# The low-level DES interface is deprecated in OpenSSL 3 but is the one that needs no legacy
# provider for single DES.
target_compile_definitions(${target} PRIVATE OPENSSL_SUPPRESS_DEPRECATED)
