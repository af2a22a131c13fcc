# The Windows cryptography: mail boundaries, the stored-password vectors shared with Linux, SSPI
# NTLM's first step, and the SChannel channel against real OpenSSL servers, run under Wine by
# run-crypto-tests.sh in a private prefix.
add_executable(windows_crypto_tests BoundaryTest.cpp ${ZEL_TOP}/tests/config/PasswordCipherTest.cpp ChannelTest.cpp
                                    NtlmTest.cpp)
target_link_libraries(windows_crypto_tests PRIVATE zel_mail zel_net zel_config ZLIB::ZLIB GTest::gtest_main)
add_executable(trust_root TrustRoot.cpp)
target_link_libraries(trust_root PRIVATE crypt32)
add_dependencies(zel_windows_tests windows_crypto_tests trust_root)
add_test(NAME windows_crypto COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/run-crypto-tests.sh $<TARGET_FILE:windows_crypto_tests>
                                     $<TARGET_FILE:trust_root> ${CMAKE_CURRENT_BINARY_DIR}/crypto-run)
