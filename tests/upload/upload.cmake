# The upload job, the transfer feedback and the profile controls, driven
# through the real main window against real and scripted FTP servers on
# 127.0.0.1.
parcelo_add_test(NAME upload_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/../GuiTestMain.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UploadFixture.h
    ${CMAKE_CURRENT_LIST_DIR}/UnusedPort.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UploadJobTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TransferFeedbackTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ProfileControlsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DesktopHabitsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TlsTrustTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SessionReuseTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/WindowReportsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SftpWindowTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ResilienceWindowTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FolderUploadTest.cpp
  LIBS parcelo_app parcelo_testsupport Qt6::Test
  LABELS gui)
# The cases against the scripted server, and those against pyftpdlib or
# vsftpd; the others drive the window alone.
parcelo_test_cases(upload_tests LABELS gui integration
  CASES SessionReuse CloseDuringTransfer LoginFailure
        Desktop.EnterDuringTheUploadNeitherCancelsNorQuits Desktop.DropDownDuringAnUploadLeavesItAlone
        Desktop.OKDuringAListingLeavesItAlone Desktop.PickerReportsALogInThatLeftNoSessionAsOne
        Desktop.ClosingDuringAListingOpensNoList Desktop.NameThatIsNotUtf8IsStoredUnderItsOwnBytes
        Profiles.SwitchingDropsTheOpenSessionOnlyWhenAddressOrUserChanged
        UploadTest.CancelAbortsTheSessionAndExitLeavesIt UploadTest.FirewallLogsInAsUserAtServerThroughTheFirewallHost
        UploadTest.DroppedConnectionAbortsTheJob WindowReports.EveryFileIsAccountedForAndTheCountSaysWhatWasNotSent
        WindowReports.SlowUploadShowsBytesSpeedAndTimeLeft)
parcelo_test_cases(upload_tests LABELS gui real-server
  CASES UploadJob UploadFileFailure TlsWindow TlsServer TrustQuestion UploadTest.RealLogInShowsThePasswordLineHidden
        UploadTest.CompletedJobSetsTheTitleThatShowedProgress SftpWindow
        Resilience FolderUpload UploadTest.FilesJoiningDuringAJobWaitForTheNextOK)
parcelo_test_cases(upload_tests LABELS unit CASES FolderWalk)
# The sftp:// cases need the askpass helper beside the build's programs.
add_dependencies(upload_tests parcelo-askpass)
