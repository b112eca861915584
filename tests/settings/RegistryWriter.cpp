// Writes <count> profiles named <prefix>-<n> into the registry store the way
// the settings save does: one key per profile, a handful of values, and
// "lasthost" shared by every writer. Exit status 0 when every write worked.
#include "platform/Registry.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PREFIX COUNT\n", argv[0]);
        return 2;
    }
    const std::string prefix = argv[1];
    const int count = std::atoi(argv[2]);
    try {
        for (int i = 0; i < count; ++i) {
            const std::string name = prefix + "-" + std::to_string(i);
            TRegistry reg;
            if (!reg.OpenKey("Software\\Parcelo\\Hosts", true)) {
                std::fprintf(stderr, "%s: Hosts: %s\n", name.c_str(), RegistryErrorText(reg.LastError()).c_str());
                return 1;
            }
            reg.WriteString("lasthost", name);
            if (!reg.OpenKey(name, true)) {
                std::fprintf(stderr, "%s: %s\n", name.c_str(), RegistryErrorText(reg.LastError()).c_str());
                return 1;
            }
            reg.WriteString("address", "host." + name);
            reg.WriteString("port", std::to_string(1000 + i));
            reg.WriteBool("anonymous", i % 2 == 0);
            reg.WriteString("username", "user" + std::to_string(i));
            std::string password;
            for (int b = 0; b < 8; ++b)
                password += static_cast<char>(1 + (i * 8 + b) % 255);
            reg.WriteString("password", password);
        }
    } catch (const ERegistryException& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
