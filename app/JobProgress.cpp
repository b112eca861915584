#include "app/JobProgress.h"

#include <QLocale>
#include <algorithm>

void JobProgress::Start(const std::vector<std::int64_t>& sizes)
{
    *this = JobProgress();
    running_ = true;
    sizes_ = sizes;
    for (std::int64_t size : sizes) {
        if (size < 0)
            continue;
        ++files_;
        total_ += size;
    }
}

void JobProgress::FileStarting(std::size_t index)
{
    if (inFile_)
        FileEnded();
    current_ = index < sizes_.size() ? std::max<std::int64_t>(sizes_[index], 0) : 0;
    count_ = 0;
    ++number_;
    inFile_ = true;
}

void JobProgress::FileEnded()
{
    if (!inFile_)
        return;
    before_ += current_;
    current_ = 0;
    count_ = 0;
    ++ended_;
    inFile_ = false;
}

QString JobProgress::Text() const
{
    // One file: the file's own bar and percentage say it all.
    if (!running_ || files_ < 2)
        return {};
    // Empty files only: count files instead of bytes.
    const std::int64_t percent =
        total_ > 0 ? (before_ + std::clamp<std::int64_t>(count_, 0, current_)) * 100 / total_ : ended_ * 100 / files_;
    return QStringLiteral("file %1 of %2, %3 % of %4")
        .arg(std::max(number_, 1))
        .arg(files_)
        .arg(std::min<std::int64_t>(percent, 100))
        .arg(QLocale().formattedDataSize(total_, 1, QLocale::DataSizeSIFormat));
}
