// Runs the desktop tests inside a QApplication, as GuiTestMain does, on a
// session bus of their own: a dbus-daemon started here, whose address
// replaces the user's before anything can reach the user's bus. The
// daemon ends with the program.
#include <QApplication>
#include <QProcess>
#include <gtest/gtest.h>

#include <cstring>

#include "PrivateBus.h"
#include "platform/qt/QtMessagePump.h"

namespace {

std::string BusProblem;

} // namespace

const std::string& PrivateBusProblem()
{
    return BusProblem;
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never the user's bus: an address that leads nowhere until the private
    // one is up.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/parcelo-test-bus");
    const bool listing = ::testing::GTEST_FLAG(list_tests);
    QProcess daemon;
    if (!listing) {
        daemon.setProgram(QStringLiteral("dbus-daemon"));
        daemon.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                             QStringLiteral("--print-address=1")});
        daemon.start();
        QByteArray address;
        if (!daemon.waitForStarted(10000)) {
            BusProblem = "dbus-daemon could not be started (Debian package dbus)";
        } else {
            while (!address.contains('\n') && daemon.waitForReadyRead(10000))
                address += daemon.readAllStandardOutput();
            address = address.trimmed();
            if (address.isEmpty())
                BusProblem = "dbus-daemon gave no address";
            else
                qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        }
    }
    int result = 0;
    {
        int qtArgc = 1;
        QApplication app(qtArgc, argv);
        QtMessagePump pump;
        result = RUN_ALL_TESTS();
    }
    if (daemon.state() != QProcess::NotRunning) {
        daemon.terminate();
        daemon.waitForFinished(10000);
    }
    return result;
}
