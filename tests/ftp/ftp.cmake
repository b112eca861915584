# FTP client tests: exact dialogues against the scripted server, the
# regression tests of mended faults, real servers (vsftpd, pyftpdlib, and
# the unpacked pure-ftpd and proftpd), and the ftpput driver.
set(_ftp_test_dir ${CMAKE_CURRENT_LIST_DIR})

parcelo_add_test(NAME ftp_dialogue_test
  SOURCES ${_ftp_test_dir}/FtpDialogueTest.cpp ${_ftp_test_dir}/FtpRegressionTest.cpp
          ${_ftp_test_dir}/FtpReplyTest.cpp ${_ftp_test_dir}/FtpTlsTest.cpp
          ${_ftp_test_dir}/FtpSessionIdentityTest.cpp ${_ftp_test_dir}/FtpIPv6DialogueTest.cpp
  LIBS parcelo_ftp parcelo_net parcelo_platform parcelo_testsupport GTest::gtest_main
  LABELS integration)
parcelo_test_cases(ftp_dialogue_test LABELS unit
  CASES FtpReplyParsing FtpTlsAddress FtpDialogue.ShareModeOutsideTheTableReadsAsExclusive
        FtpRegression.RefusedControlConnectMakesConnectFail FtpRegression.StatisticsOfTransfersOver2GiB
        FtpTls.UnreadableCaFileFailsTheOpenBeforeAnythingIsSent FtpIPv6Dialogue.ANameThatDoesNotResolveSaysSo)

parcelo_add_test(NAME ftp_realserver_test
  SOURCES ${_ftp_test_dir}/FtpRealServerTest.cpp
  LIBS parcelo_ftp parcelo_net parcelo_platform parcelo_testsupport GTest::gtest_main
  LABELS real-server)

parcelo_add_test(NAME ftpput_test
  SOURCES ${_ftp_test_dir}/FtpPutTest.cpp
  LIBS parcelo_testsupport GTest::gtest_main
  LABELS real-server)
parcelo_test_cases(ftpput_test LABELS unit CASES FtpPut.UsageErrorsExitWith2)
add_dependencies(ftpput_test ftpput)
target_compile_definitions(ftpput_test PRIVATE FTPPUT_PATH="$<TARGET_FILE:ftpput>")

parcelo_add_test(NAME ftp_fault_test
  SOURCES ${_ftp_test_dir}/FtpFaultTableTest.cpp
  LIBS parcelo_ftp parcelo_net parcelo_platform parcelo_testsupport GTest::gtest_main
  LABELS integration)
parcelo_test_cases(ftp_fault_test LABELS unit CASES FtpReplyAssembly)
add_dependencies(ftp_fault_test ftpput)
target_compile_definitions(ftp_fault_test PRIVATE FTPPUT_PATH="$<TARGET_FILE:ftpput>")

# The test servers' TLS (certificates, vsftpd, pyftpdlib, pure-ftpd and
# proftpd over TLS, the scripted server's TLS calls), checked with
# reference clients.
parcelo_add_test(NAME tls_servers_test
  SOURCES ${_ftp_test_dir}/TlsServersTest.cpp
  LIBS parcelo_testsupport OpenSSL::SSL OpenSSL::Crypto GTest::gtest_main
  LABELS real-server)
parcelo_test_cases(tls_servers_test LABELS integration CASES FtpScriptTlsTest)
parcelo_test_cases(tls_servers_test LABELS unit CASES TlsTestCertsTest)

# A selection of files over TLS in one session, through the window's upload
# sequence, on every real server, TLS mode and data direction. One process:
# its cases share one server per kind and TLS mode, and the files.
parcelo_add_test(NAME tls_selection_test ONE_PROCESS
  SOURCES ${_ftp_test_dir}/TlsSelectionTest.cpp
  LIBS parcelo_upload parcelo_ftp parcelo_net parcelo_platform parcelo_testsupport GTest::gtest_main
  LABELS real-server)
