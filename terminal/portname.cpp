#include "portname.h"

#include <QHash>

namespace {

QHash<QString, QString> &testRedirections()
{
    static QHash<QString, QString> redirections;
    return redirections;
}

} // namespace

QString devicePathForPort(const QString &portName)
{
    const auto redirected = testRedirections().constFind(portName);
    if (redirected != testRedirections().constEnd())
        return redirected.value();
#ifdef Q_OS_WIN
    return portName;
#else
    static const QHash<QString, QString> devices = {
        {QStringLiteral("COM1"), QStringLiteral("/dev/ttyS0")},
        {QStringLiteral("COM2"), QStringLiteral("/dev/ttyS1")},
        {QStringLiteral("COM3"), QStringLiteral("/dev/ttyUSB0")},
        {QStringLiteral("COM4"), QStringLiteral("/dev/ttyUSB1")},
        {QStringLiteral("COM5"), QStringLiteral("/dev/ttyUSB2")},
        {QStringLiteral("COM6"), QStringLiteral("/dev/ttyUSB3")},
        {QStringLiteral("COM7"), QStringLiteral("/dev/ttyACM0")},
        {QStringLiteral("COM8"), QStringLiteral("/dev/ttyACM1")},
    };
    return devices.value(portName, portName);
#endif
}

void redirectPortForTesting(const QString &portName, const QString &devicePath)
{
    if (devicePath.isEmpty())
        testRedirections().remove(portName);
    else
        testRedirections().insert(portName, devicePath);
}
