#include "portname.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QFile>

#include <algorithm>
#include <utility>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <sys/stat.h>
#endif
#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

const char *const portNames[] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};
// Each name's own device: built-in ports first, then USB adapters, as Windows numbers them.
const char *const ownDevices[] = {"ttyS0", "ttyS1", "ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3", "ttyACM0", "ttyACM1"};

// Kernel names of serial ports, a prefix followed by the port's number, in the order their devices
// are handed to the names: UARTs on the board or the chip, USB adapters (the kernel's drivers,
// then the vendors' own), the rest (Bluetooth links, a board's USB gadget port).
const char *const serialFamilies[] = {
    "ttyS",        "ttyAMA",      "ttyTHS",   "ttymxc",   "ttySAC", "ttyO",  "ttyPS",  "ttyMSM",
    "ttyHS",       "ttyLP",       "ttyAML",   "ttySTM",   "ttyMV",  "ttySC", "ttyUSB", "ttyACM",
    "ttyCH341USB", "ttyCH343USB", "ttyXRUSB", "ttyMXUSB", "rfcomm", "ttyGS",
};

struct SerialName {
    int family = -1;
    unsigned number = 0;
};

// "ttyUSB10" -> the ttyUSB family, number 10; anything else (tty1, ttyprintk, pts) -> no family.
SerialName parseSerialName(const QString &name)
{
    for (int f = 0; f < int(std::size(serialFamilies)); ++f) {
        const QLatin1String prefix(serialFamilies[f]);
        if (!name.startsWith(prefix) || name.size() == prefix.size())
            continue;
        bool digits = false;
        const unsigned number = name.midRef(prefix.size()).toUInt(&digits);
        // toUInt() would take "+1" or " 1"; a kernel name has plain digits only.
        if (digits && name.at(prefix.size()).isDigit())
            return {f, number};
    }
    return {};
}

std::function<QVector<SerialNode>()> &testLister()
{
    static std::function<QVector<SerialNode>()> lister;
    return lister;
}

QHash<QString, QString> &testRedirections()
{
    static QHash<QString, QString> redirections;
    return redirections;
}

#ifdef Q_OS_LINUX
// The kernel makes ttyS0..ttyS3 on most PCs whether or not a UART is there; such a node reports the
// port type "unknown". sysfs tells that without opening the device, so no modem line is raised on
// a port another program may be using. Without sysfs, a ttyS node is asked itself; one that cannot
// be opened to ask (no permission, taken) counts as a port, and the open attempt will say what is wrong.
bool hasUart(const QString &name, const QByteArray &path, dev_t device)
{
    QFile type(QString("/sys/dev/char/%1:%2/type").arg(major(device)).arg(minor(device)));
    if (type.open(QIODevice::ReadOnly))
        return type.readAll().trimmed().toInt() != PORT_UNKNOWN;
    const int pcUarts = 0; // "ttyS", the first of serialFamilies
    if (parseSerialName(name).family != pcUarts)
        return true;
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return true;
    serial_struct info{};
    const bool unknown = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
    ::close(fd);
    return !unknown;
}
#endif

// The character devices in /dev with serial port names; a symlink counts as the device it points at.
QVector<SerialNode> scanDevices()
{
    QVector<SerialNode> nodes;
#ifdef Q_OS_UNIX
    DIR *dev = ::opendir("/dev");
    if (!dev)
        return nodes;
    while (const dirent *entry = ::readdir(dev)) {
        const QString name = QString::fromLocal8Bit(entry->d_name);
        if (parseSerialName(name).family < 0)
            continue;
        const QByteArray path = "/dev/" + QByteArray(entry->d_name);
        struct stat info;
        if (::stat(path.constData(), &info) != 0 || !S_ISCHR(info.st_mode))
            continue;
#ifdef Q_OS_LINUX
        nodes.append({name, hasUart(name, path, info.st_rdev)});
#else
        nodes.append({name, true});
#endif
    }
    ::closedir(dev);
#endif
    return nodes;
}

// Calls back each time the watched widget is shown.
class ShowWatcher : public QObject {
public:
    ShowWatcher(QObject *parent, std::function<void()> onShow)
        : QObject(parent)
        , m_onShow(std::move(onShow))
    {
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            m_onShow();
        return false;
    }

private:
    std::function<void()> m_onShow;
};

} // namespace

QHash<QString, QString> portDevices(const QVector<SerialNode> &present)
{
    struct Found {
        SerialName key;
        QString name;
    };
    QVector<Found> found;
    for (const SerialNode &node : present) {
        const SerialName key = parseSerialName(node.name);
        if (key.family >= 0 && node.hasUart)
            found.append({key, node.name});
    }
    const auto before = [](const Found &a, const Found &b) {
        return a.key.family != b.key.family ? a.key.family < b.key.family : a.key.number < b.key.number;
    };
    std::sort(found.begin(), found.end(), before);
    const auto sameName = [](const Found &a, const Found &b) {
        return a.name == b.name;
    };
    found.erase(std::unique(found.begin(), found.end(), sameName), found.end());
    const auto isPresent = [&](const QString &name) {
        return std::any_of(found.begin(), found.end(), [&](const Found &f) { return f.name == name; });
    };

    // Each name keeps its own device when that is there; otherwise it waits for a spare one.
    QHash<QString, QString> devices;
    QVector<int> waiting;
    for (int i = 0; i < int(std::size(portNames)); ++i) {
        devices.insert(portNames[i], QStringLiteral("/dev/") + ownDevices[i]);
        if (!isPresent(ownDevices[i]))
            waiting.append(i);
    }
    // The devices that are nobody's own go to the waiting names, in order. A name left waiting
    // keeps its own (absent) device, and opening it says the port does not exist.
    const auto isOwnDevice = [](const QString &name) {
        return std::any_of(std::begin(ownDevices), std::end(ownDevices),
                           [&](const char *own) { return name == QLatin1String(own); });
    };
    auto next = waiting.cbegin();
    for (const Found &f : found) {
        if (next == waiting.cend())
            break;
        if (!isOwnDevice(f.name))
            devices.insert(portNames[*next++], QStringLiteral("/dev/") + f.name);
    }
    return devices;
}

QHash<QString, QString> portDevices()
{
    QHash<QString, QString> devices;
#ifdef Q_OS_WIN
    for (const char *name : portNames)
        devices.insert(name, name);
#else
    devices = portDevices(testLister() ? testLister()() : scanDevices());
#endif
    for (auto r = testRedirections().cbegin(); r != testRedirections().cend(); ++r)
        devices.insert(r.key(), r.value());
    return devices;
}

void redirectPortForTesting(const QString &portName, const QString &devicePath)
{
    if (devicePath.isEmpty())
        testRedirections().remove(portName);
    else
        testRedirections().insert(portName, devicePath);
}

void listSerialNodesForTesting(std::function<QVector<SerialNode>()> lister)
{
    testLister() = std::move(lister);
}

void MainWindow::followPortDevices()
{
    // A device plugged in while the window is open shows up the next time the list is opened.
    ui->comboBox_5->view()->installEventFilter(new ShowWatcher(ui->comboBox_5, [this] { refreshPortDevices(); }));
    refreshPortDevices();
}

QString MainWindow::refreshPortDevices()
{
    const QHash<QString, QString> devices = portDevices();
    for (int i = 0; i < ui->comboBox_5->count(); ++i) {
        const QString name = ui->comboBox_5->itemText(i);
        ui->comboBox_5->setItemData(i, devices.value(name, name), Qt::ToolTipRole);
    }
    const QString current = ui->comboBox_5->currentText();
    return devices.value(current, current);
}
