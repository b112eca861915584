// A private scratch folder for a test's local files: made fresh (and
// unique, so tests running at once never share one) and removed with
// everything in it when the object goes.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

struct LocalDir {
    explicit LocalDir(const std::string& prefix = "parcelo-test")
    {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) != nullptr)
            path = pattern;
    }
    ~LocalDir()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    LocalDir(const LocalDir&) = delete;
    LocalDir& operator=(const LocalDir&) = delete;

    // Writes `data` to the file `name` inside the folder; returns its path.
    std::string Write(const std::string& name, const std::string& data) const
    {
        std::string p = (path / name).string();
        std::ofstream(p, std::ios::binary) << data;
        return p;
    }

    std::filesystem::path path;
};
