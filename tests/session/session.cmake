# The session interface and the upload sequence on it: the FTP listing
# rule alone, and both sessions against real servers (sshd, the scripted
# SFTP server, pyftpdlib) on 127.0.0.1.
parcelo_add_test(NAME upload_listing_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/FtpListingTest.cpp
  LIBS parcelo_upload GTest::gtest_main
  LABELS unit)

# One process: the cases share one sshd and agent.
parcelo_add_test(NAME upload_session_test ONE_PROCESS
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SessionSequenceTest.cpp
  LIBS parcelo_upload parcelo_ftp parcelo_sftp parcelo_net parcelo_platform parcelo_testsupport GTest::gtest_main
  LABELS real-server)

# Broken links, resuming, the size check, the temporary name, if-exists and
# keep-time: vsftpd, pyftpdlib and sshd behind the cutting proxy.
parcelo_add_test(NAME upload_resume_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ResumeTest.cpp
  LIBS parcelo_upload parcelo_ftp parcelo_sftp parcelo_net parcelo_platform parcelo_testsupport GTest::gtest_main
  LABELS real-server)

# The links of uploaded files, built from the web address of a profile.
parcelo_add_test(NAME upload_weblinks_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/WebLinksTest.cpp
  LIBS parcelo_upload GTest::gtest_main
  LABELS unit)

# The same rules against the scripted FTP server's replies.
parcelo_add_test(NAME upload_resume_script_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ResumeScriptTest.cpp
  LIBS parcelo_upload parcelo_ftp parcelo_net parcelo_platform parcelo_testsupport GTest::gtest_main
  LABELS integration)
add_dependencies(upload_resume_test ftpput)
target_compile_definitions(upload_resume_test PRIVATE FTPPUT_PATH="$<TARGET_FILE:ftpput>")
