// Runs a program to its end, as a script would, and collects its standard
// output (standard error goes to /dev/null).
#pragma once

#include <string>
#include <vector>

struct ProgramResult {
    int status = -1; // exit status; -1 when it did not exit normally
    std::string out;
};

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args);

// Reads the first line a started helper script writes on `fd` (the port it
// listens on) and closes `fd`; 0 when the script ended before it or wrote
// no number.
int ReadPortLine(int fd);
