# ftpput: the headless upload driver, used by scripts and the FTP benchmark.
add_executable(ftpput ${CMAKE_CURRENT_LIST_DIR}/ftpput.cpp)
target_link_libraries(ftpput PRIVATE parcelo_ftp parcelo_net parcelo_platform)

# The reference sender of the FTP benchmark: plain blocking 1514-byte sends.
add_executable(ftp_plainsend ${CMAKE_CURRENT_LIST_DIR}/ftp_plainsend.c)
