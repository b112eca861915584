# The reference sender of the FTP benchmark: plain blocking 1514-byte sends.
add_executable(ftp_plainsend ${CMAKE_CURRENT_LIST_DIR}/ftp_plainsend.c)
