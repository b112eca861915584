// Local files for tests: reading one whole, and a file that lives as long as
// the test needs it.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include <stdlib.h>

// The whole content of a file, as bytes; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A file holding `content`, named `name`, in a folder of its own (unique, so
// tests running at once never share one); the folder goes with the object.
struct TempFile {
    explicit TempFile(const std::string& content, const std::string& name = "local.bin")
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "parcelo-file-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            dir = pattern;
        path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << content;
    }
    ~TempFile()
    {
        std::error_code ignored;
        if (!dir.empty())
            std::filesystem::remove_all(dir, ignored);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    std::string Read() const { return ReadFile(path); }

    std::filesystem::path dir;
    std::string path;
};
