// talven-qtreader: the second floor for bench/linerate.sh. Qt's own way of reading a serial line and
// nothing else: no window, no display connection, one QSerialPort whose readyRead takes every byte
// into a buffer of its own. It wakes for every piece through the same event loop (glib's, as
// Talven's window) and the same socket notifier as the window, so what the window takes beyond it
// is the window's own work, not Qt's reading.
//
//   talven-qtreader DEVICE
//
// Prints "open" alone on a line once the port is open at 19,200 baud, then runs until killed.

#include <QCoreApplication>
#include <QSerialPort>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: talven-qtreader DEVICE\n");
        return 2;
    }
    QSerialPort port(QString::fromLocal8Bit(argv[1]));
    if (!port.open(QIODevice::ReadWrite) || !port.setBaudRate(19200)) {
        std::fprintf(stderr, "talven-qtreader: %s: %s\n", argv[1], qPrintable(port.errorString()));
        return 1;
    }
    // Read as the window reads: all there is, into a buffer of the program's own.
    QByteArray block;
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        block.resize(int(port.bytesAvailable()));
        port.read(block.data(), block.size());
    });
    std::printf("open\n");
    std::fflush(stdout);
    return app.exec();
}
