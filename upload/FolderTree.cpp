#include "upload/FolderTree.h"

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// The names in `dir` but "." and "..", in byte order; false when the folder
// cannot be opened.
bool ListNames(const std::string& dir, std::vector<std::string>& names)
{
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr)
        return false;
    while (const dirent* entry = readdir(handle)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(handle);
    std::sort(names.begin(), names.end());
    return true;
}

void Walk(const std::string& dir, const std::string& relative, FolderTree& tree)
{
    std::vector<std::string> names;
    if (!ListNames(dir, names)) {
        ++tree.skipped;
        return;
    }
    for (const std::string& name : names) {
        const std::string path = dir + '/' + name;
        const std::string below = relative.empty() ? name : relative + '/' + name;
        struct stat own { };
        if (lstat(path.c_str(), &own) != 0) {
            ++tree.skipped;
            continue;
        }
        if (S_ISDIR(own.st_mode)) {
            tree.directories.push_back(below);
            Walk(path, below, tree);
            continue;
        }
        struct stat target = own;
        if (S_ISLNK(own.st_mode) && stat(path.c_str(), &target) != 0) {
            ++tree.skipped; // a broken link
            continue;
        }
        if (!S_ISREG(target.st_mode)) {
            ++tree.skipped; // a link to a folder, a pipe, a socket, a device
            continue;
        }
        tree.files.push_back({path, below, static_cast<std::int64_t>(target.st_size)});
        tree.totalBytes += static_cast<std::int64_t>(target.st_size);
    }
}

} // namespace

FolderTree WalkFolder(const std::string& root)
{
    FolderTree tree;
    std::string dir = root;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    Walk(dir, {}, tree);
    return tree;
}
