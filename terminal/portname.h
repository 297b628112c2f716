#pragma once

#include <QString>

// The form lists the ports as "COM1".."COM8". On Windows those are the device names; elsewhere each
// name stands for a fixed device, numbered the way Windows numbers ports (built-in ports first,
// then USB adapters). A name outside the list passes through unchanged.
QString devicePathForPort(const QString &portName);

// For tests only: point a port name at another device (a pseudo-terminal). An empty path removes
// the redirection. Nothing a user can set (environment, file, command line) reaches this.
void redirectPortForTesting(const QString &portName, const QString &devicePath);
