// Local files for tests: reading one whole, and a file that lives as long as
// the test needs it.
#pragma once

#include <cstddef>
#include <cstdint>
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

// `size` bytes of a fixed pseudo-random pattern (every byte value, CR and
// LF among them); another `seed` gives other bytes.
inline std::string PatternBytes(std::size_t size, std::uint32_t seed = 4711)
{
    std::string s(size, '\0');
    std::uint32_t x = seed;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// How often `part` stands in `text` (overlapping ones counted).
inline std::size_t CountOf(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
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
