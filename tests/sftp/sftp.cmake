# SFTP client tests: the packet layer alone, and the client against a real
# OpenSSH server (sshd and an ssh-agent started by the test, on 127.0.0.1).
set(_sftp_test_dir ${CMAKE_CURRENT_LIST_DIR})

parcelo_add_test(NAME sftp_packet_test
  SOURCES ${_sftp_test_dir}/SftpPacketTest.cpp
  LIBS parcelo_sftp GTest::gtest_main
  LABELS unit)

# One process: the cases share one sshd and agent.
parcelo_add_test(NAME sftp_realserver_test ONE_PROCESS
  SOURCES ${_sftp_test_dir}/SftpRealServerTest.cpp
  LIBS parcelo_sftp parcelo_net parcelo_platform parcelo_testsupport GTest::gtest_main
  LABELS real-server)
add_dependencies(sftp_realserver_test ftpput)
target_compile_definitions(sftp_realserver_test PRIVATE FTPPUT_PATH="$<TARGET_FILE:ftpput>")

# What ssh asks through the askpass helper: the prompts read (unit), and the
# helper and its channel against sshd and the scripted server.
parcelo_add_test(NAME sftp_prompt_test
  SOURCES ${_sftp_test_dir}/SftpPromptTest.cpp
  LIBS parcelo_sftp GTest::gtest_main
  LABELS unit)

parcelo_add_test(NAME sftp_askpass_test ONE_PROCESS
  SOURCES ${_sftp_test_dir}/SftpAskpassTest.cpp ${_sftp_test_dir}/AskpassStranger.cpp
  LIBS parcelo_sftp parcelo_net parcelo_platform parcelo_testsupport GTest::gtest_main
  LABELS real-server)
add_dependencies(sftp_askpass_test parcelo-askpass)
