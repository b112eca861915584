// A folder's whole tree as an upload sends it: the sub-folders to make on
// the server and the files to store, with paths relative to the folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FolderTreeFile {
    std::string localPath;    // what opens the file
    std::string relativePath; // '/'-separated, below the folder, e.g. "a/b/name"
    std::int64_t size = 0;
};

struct FolderTree {
    // Every sub-folder, parents before children, empty ones included;
    // '/'-separated and relative to the folder.
    std::vector<std::string> directories;
    std::vector<FolderTreeFile> files;
    std::int64_t totalBytes = 0;
    // Entries passed over: links to folders, broken links, sockets, pipes,
    // devices, and folders that could not be opened.
    int skipped = 0;
};

// Walks the folder `root` (a path as the system takes it; the names below
// it are bytes, kept as they are). Names are taken in byte order, so a
// tree always comes out the same. A link to a folder is never followed (it
// would leave the tree or loop); a link to a file counts as that file, as
// a file named on the command line does. Hidden entries belong to the tree.
[[nodiscard]] FolderTree WalkFolder(const std::string& root);
