// A small Qt program for the leak checker's own test: a zero-time timer
// makes one allocation from its handler, under Qt's event dispatch, and
// with the argument "leak" drops it instead of freeing it.
#include <QApplication>
#include <QTimer>

#include <cstring>

namespace {

// Kept out of line so that the leak report names it.
[[gnu::noinline]] void AllocateUnderDispatch(bool drop)
{
    constexpr std::size_t Size = 4096;
    char* block = new char[Size];
    std::memset(block, 0x5a, Size);
    if (!drop)
        delete[] block;
}

} // namespace

int main(int argc, char** argv)
{
    const bool drop = argc > 1 && std::strcmp(argv[1], "leak") == 0;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QTimer::singleShot(0, &app, [&app, drop] {
        AllocateUnderDispatch(drop);
        app.quit();
    });
    return app.exec();
}
