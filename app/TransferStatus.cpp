#include "app/TransferStatus.h"

#include <QTreeWidgetItem>

#include <QLocale>
#include <algorithm>

#include "app/Main.h"

namespace {

// Sizes as the desktop's file manager gives them: decimal units (kB, MB).
QString SizeText(std::int64_t bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

} // namespace

QString TimeLeftText(std::int64_t seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
}

void TransferRate::Start(std::int64_t size, std::int64_t nowMs)
{
    *this = TransferRate();
    running_ = true;
    size_ = size;
    start_ = nowMs;
    sampleAt_ = nowMs;
}

bool TransferRate::Update(std::int64_t count, std::int64_t nowMs)
{
    if (!running_)
        return false;
    count_ = count;
    const std::int64_t sinceSample = nowMs - sampleAt_;
    if (sinceSample < SampleMs) {
        if (shownOnce_)
            return false;
        shownOnce_ = true;
        return true;
    }
    // Each sample weighs in with 30 %: the figure follows a change of pace
    // within a few seconds without jumping with every burst.
    const double sample = static_cast<double>(count - sampleCount_) * 1000.0 / static_cast<double>(sinceSample);
    bytesPerSecond_ = bytesPerSecond_ < 0 ? sample : 0.7 * bytesPerSecond_ + 0.3 * sample;
    sampleAt_ = nowMs;
    sampleCount_ = count;
    settled_ = nowMs - start_ >= SettleMs;
    shownOnce_ = true;
    return true;
}

QString TransferRate::Text() const
{
    QString text = SizeText(std::min(count_, size_)) + QStringLiteral(" of ") + SizeText(size_);
    if (!settled_ || bytesPerSecond_ < 0)
        return text;
    text += QStringLiteral(", ") + SizeText(static_cast<std::int64_t>(bytesPerSecond_)) + QStringLiteral("/s");
    if (bytesPerSecond_ >= 1) {
        const double left = static_cast<double>(std::max<std::int64_t>(size_ - count_, 0)) / bytesPerSecond_;
        text += QStringLiteral(", ") + TimeLeftText(static_cast<std::int64_t>(left + 0.999)) + QStringLiteral(" left");
    }
    return text;
}

void TForm1::StartTransferStatus(const QTreeWidgetItem* row)
{
    sendingText_ = QStringLiteral("Sending ") + row->text(0);
    transferRate_.Start(std::max<qint64>(row->text(1).toLongLong(), 1), MonotonicMs());
}

void TForm1::ShowTransferStatus(std::int64_t count)
{
    // Only a file being stored; a directory listing has no size to go by.
    if (!transferRate_.Running() || !transferRate_.Update(count, MonotonicMs()))
        return;
    const QString figures = transferRate_.Text();
    statusBar->SetPanelText(1, sendingText_ + QStringLiteral(" \u2014 ") + figures);
    // A screen reader hears the figures with the bar.
    progressBar->setAccessibleDescription(figures);
}

void TForm1::StopTransferStatus()
{
    transferRate_.Stop();
    progressBar->setAccessibleDescription(QString());
}
