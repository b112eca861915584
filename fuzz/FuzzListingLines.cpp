// The directory picker's listing parser: a listing is cut into lines and
// each line may offer a directory name. Whatever the server sends, no line
// holds a line end, and a name offered comes from a "d" line, is its tail,
// is not empty and does not start with ".".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/DirectoryPicker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const QStringList lines = ListingLines(bytes);
    const std::size_t zero = bytes.find('\0');
    const std::size_t textSize = zero == std::string::npos ? bytes.size() : zero;
    if (textSize == 0 && !lines.isEmpty())
        std::abort();
    // Never more lines than line ends plus one.
    qsizetype ends = 0;
    for (std::size_t i = 0; i < textSize; ++i)
        ends += bytes[i] == '\r' || bytes[i] == '\n';
    if (lines.size() > ends + 1)
        std::abort();
    for (const QString& line : lines) {
        if (line.contains(u'\r') || line.contains(u'\n') || line.contains(QChar(0)))
            std::abort();
        const QString name = ListedDirectory(line);
        if (name.isEmpty())
            continue;
        if (!line.startsWith(u'd') || name.startsWith(u'.') || !line.endsWith(name) || name.size() >= line.size())
            std::abort();
    }
    return 0;
}
