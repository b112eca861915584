#pragma once
// The progress of a whole job, for the status bar beside the bar of the
// file going up: "file 3 of 12, 45 % of 820.0 MB". It counts the files the
// job sends (not folders, not files it could not read) and their bytes; a
// file that failed counts as done, so the figure never goes back.

#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

class JobProgress {
public:
    // A job starts; `sizes` has an entry per file of the job in its order:
    // the file's size, or -1 for one that is not sent.
    void Start(const std::vector<std::int64_t>& sizes);
    // File `index` of the job starts going up.
    void FileStarting(std::size_t index);
    // The file going up is done with (stored or failed).
    void FileEnded();
    // `count` bytes of the file going up have gone.
    void SetCount(std::int64_t count) { count_ = count; }
    // The text for the status bar; empty when no job runs or the job sends
    // one file only.
    [[nodiscard]] QString Text() const;
    void Stop() { running_ = false; }

private:
    bool running_ = false;
    std::vector<std::int64_t> sizes_;
    int files_ = 0;           // files the job sends
    int number_ = 0;          // the one going up, from 1
    int ended_ = 0;           // files done with
    std::int64_t total_ = 0;  // bytes of every file the job sends
    std::int64_t before_ = 0; // bytes of the files done with
    std::int64_t current_ = 0;
    std::int64_t count_ = 0;
    bool inFile_ = false;
};
