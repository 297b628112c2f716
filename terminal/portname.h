#pragma once

#include <QHash>
#include <QString>
#include <QVector>

#include <functional>

// The form lists the ports as "COM1".."COM8". On Windows those are the device names. Elsewhere each
// name has a device of its own, numbered the way Windows numbers ports (built-in ports first, then
// USB adapters); a name whose own device is absent lends itself to a serial device that no name has.

// A character device in /dev with a serial port's name, as the port list sees it.
struct SerialNode {
    QString name;        // the name in /dev: "ttyUSB4", "ttyAMA0", "rfcomm0"
    bool hasUart = true; // false when the kernel says no UART is behind it (a PC's spare ttyS nodes)
};

// The rule: the device path each of "COM1".."COM8" opens, given the nodes present. Nodes whose
// names are not serial port names, and nodes without a UART, are ignored.
QHash<QString, QString> portDevices(const QVector<SerialNode> &present);

// The rule applied to this machine's /dev now, with the test redirections on top.
QHash<QString, QString> portDevices();

// For tests only: point a port name at another device (a pseudo-terminal). An empty path removes
// the redirection. Nothing a user can set (environment, file, command line) reaches this.
void redirectPortForTesting(const QString &portName, const QString &devicePath);

// For tests only: list these nodes instead of looking at /dev; an empty function looks at /dev again.
void listSerialNodesForTesting(std::function<QVector<SerialNode>()> lister);
