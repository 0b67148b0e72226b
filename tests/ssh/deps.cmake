# OpenSSL's libcrypto computes the reference wire bytes and exchange values the SSH tests compare
# against; it is never linked into the program.
find_package(OpenSSL REQUIRED)
target_link_libraries(${target} PRIVATE OpenSSL::Crypto)
