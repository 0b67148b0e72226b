# The STARTTLS tests run the in-memory TLS server of the TLS unit tests over a socket, behind a
# mail server's answers; it needs OpenSSL's libcrypto for its private key and single DES.
find_package(OpenSSL REQUIRED)
target_sources(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/ssl/tls_test_server.cpp)
target_link_libraries(${target} PRIVATE OpenSSL::Crypto)
target_compile_definitions(${target} PRIVATE OPENSSL_SUPPRESS_DEPRECATED)
