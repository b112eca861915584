// regset: writes values into Parcelo's settings store through the store's
// own code, so scripts (the demo, benchmarks) never write its schema by hand.
//
//   regset < VALUES
//
// Each input line is KEY<TAB>NAME<TAB>TYPE<TAB>DATA: KEY a path below
// HKEY_CURRENT_USER ("Software\Parcelo\Hosts\demo"), created when missing;
// TYPE "sz" (DATA taken as it is) or "dword" (DATA a decimal number). The
// store is the one Parcelo itself uses ($PARCELO_REGISTRY when set).
// Exit status: 0 when every value was written, 1 on a failed write, 2 on a
// malformed line.
#include "platform/Registry.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

} // namespace

int main()
{
    std::string line;
    int number = 0;
    try {
        while (std::getline(std::cin, line)) {
            ++number;
            if (line.empty() || line[0] == '#')
                continue;
            const std::vector<std::string> f = Fields(line);
            char* end = nullptr;
            const unsigned long dword = f.size() == 4 ? std::strtoul(f[3].c_str(), &end, 10) : 0;
            if (f.size() != 4 || (f[2] != "sz" && f[2] != "dword") ||
                (f[2] == "dword" && (f[3].empty() || *end != '\0'))) {
                std::fprintf(stderr, "regset: line %d: expected KEY<TAB>NAME<TAB>sz|dword<TAB>DATA\n", number);
                return 2;
            }
            TRegistry reg;
            if (!reg.OpenKey(f[0], true)) {
                std::fprintf(stderr, "regset: %s: %s\n", f[0].c_str(), RegistryErrorText(reg.LastError()).c_str());
                return 1;
            }
            if (f[2] == "sz")
                reg.WriteString(f[1], f[3]);
            else
                reg.WriteInteger(f[1], static_cast<int>(dword));
        }
    } catch (const ERegistryException& e) {
        std::fprintf(stderr, "regset: line %d: %s\n", number, e.what());
        return 1;
    }
    return 0;
}
