// Runs a test program's GoogleTest cases inside a QApplication whose loop
// also carries the socket messages, as the program runs.
#include <QApplication>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "platform/qt/QtMessagePump.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // CTest sets the offscreen platform; listing the tests at build time
    // must not need a display either.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Each test program has a runtime folder of its own, so the windows it
    // opens never hand their files to another program's (or the user's).
    char runtime[] = "/tmp/parcelo-gui-test-XXXXXX";
    if (::mkdtemp(runtime) != nullptr)
        qputenv("XDG_RUNTIME_DIR", runtime);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QtMessagePump pump;
    const int status = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(runtime, ignored);
    return status;
}
