// Names of parameterised test cases, so that a case reads as words in the
// test list ("Table/EncodeRun.ProducesExpectedBytes/EmptyKeyDisablesTheXor").
#pragma once

#include <cctype>
#include <string>
#include <string_view>

// The words of a description run together, each capitalised, without the
// characters a test name cannot hold: "move 0 disables step 3" gives
// "Move0DisablesStep3".
inline std::string WordsAsName(std::string_view words)
{
    std::string name;
    bool startWord = true;
    for (const char c : words) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u)) {
            startWord = true;
            continue;
        }
        name += startWord ? static_cast<char>(std::toupper(u)) : c;
        startWord = false;
    }
    return name.empty() ? "Unnamed" : name;
}
