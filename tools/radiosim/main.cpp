// talven-radiosim: a radio data module on a pseudo-terminal (or a serial device), so that every
// button of Talven's radio panel can be tried without hardware.

#include "radiomodule.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "talven-radiosim: %s\n", qPrintable(message));
    std::exit(2);
}

int numberOption(const QCommandLineParser &parser, const QCommandLineOption &option, int lowest, int highest)
{
    bool ok = false;
    const QString text = parser.value(option);
    const int value = text.toInt(&ok);
    if (!ok || value < lowest || value > highest)
        fail(QStringLiteral("--%1 takes a number from %2 to %3, not \"%4\"")
                 .arg(option.names().constFirst())
                 .arg(lowest)
                 .arg(highest)
                 .arg(text));
    return value;
}

quint8 codeOption(const QCommandLineParser &parser, const QCommandLineOption &option, const QStringList &choices,
                  const QList<quint8> &codes)
{
    const int index = choices.indexOf(parser.value(option));
    if (index < 0)
        fail(QStringLiteral("--%1 takes one of %2")
                 .arg(option.names().constFirst(), choices.join(QStringLiteral(", "))));
    return codes.at(index);
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talven-radiosim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Answers Talven's radio commands like a radio data module, or with --echo sends back\n"
                       "whatever it receives, or with --stream reports on its own. Prints the device to open on\n"
                       "its first line of output, then logs each frame it answers to stderr.\n"
                       "\n"
                       "A pseudo-terminal takes bytes as fast as they are written; --pace, --piece and --every\n"
                       "make the output behave like a serial line behind a USB adapter. Full line rate at\n"
                       "19,200 baud in 1-byte pieces, as a low-latency adapter hands it over:\n"
                       "  talven-radiosim --baud 19200 --stream --pace --piece 1\n"
                       "The same behind an adapter with a 16 ms latency timer:\n"
                       "  talven-radiosim --baud 19200 --stream --pace --every 16"));
    parser.addHelpOption();
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("Answer on this serial device instead of a new pseudo-terminal."),
                                    QStringLiteral("path"));
    const QCommandLineOption channel(QStringLiteral("channel"), QStringLiteral("Channel, 0-255 (default 20)."),
                                     QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption id(QStringLiteral("id"), QStringLiteral("Module ID, 0-65535 (default 1234)."),
                                QStringLiteral("n"), QStringLiteral("1234"));
    const QCommandLineOption baud(QStringLiteral("baud"),
                                  QStringLiteral("Serial rate: 4800, 9600 or 19200 (default 9600). The line starts "
                                                 "at this rate."),
                                  QStringLiteral("rate"), QStringLiteral("9600"));
    const QCommandLineOption power(QStringLiteral("power"),
                                   QStringLiteral("Transmit power in dBm: 0, 5, 7 or 10 "
                                                  "(default 10)."),
                                   QStringLiteral("dbm"), QStringLiteral("10"));
    const QCommandLineOption refuse(QStringLiteral("refuse"),
                                    QStringLiteral("Refuse every write: answer 55 instead of AA, change nothing."));
    const QCommandLineOption answer(QStringLiteral("answer"),
                                    QStringLiteral("Answer writes with this byte (two hex digits) instead of AA; "
                                                   "anything but AA refuses the write."),
                                    QStringLiteral("hex"));
    const QCommandLineOption split(QStringLiteral("split"),
                                   QStringLiteral("Send the parameter reply in two pieces, ms milliseconds apart."),
                                   QStringLiteral("ms"));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Answer nothing at all."));
    const QCommandLineOption echo(QStringLiteral("echo"),
                                  QStringLiteral("Loop-back for link tests: send every byte back unchanged, in the "
                                                 "pieces it came in; answer no frame and log nothing."));
    const QCommandLineOption pace(QStringLiteral("pace"),
                                  QStringLiteral("Send at the line's real rate: ten bit times a byte at the current "
                                                 "serial rate (1,920 bytes a second at 19200)."));
    const QCommandLineOption piece(QStringLiteral("piece"),
                                   QStringLiteral("Hand bytes over in pieces of n bytes, each as soon as its last "
                                                  "byte is in (the rest when the line falls quiet, or at the "
                                                  "--every tick)."),
                                   QStringLiteral("n"));
    const QCommandLineOption every(QStringLiteral("every"),
                                   QStringLiteral("Hand over what has come in every ms milliseconds, as a USB "
                                                  "adapter's latency timer does (16 for an FTDI adapter's default)."),
                                   QStringLiteral("ms"));
    const QCommandLineOption stream(QStringLiteral("stream"),
                                    QStringLiteral("Report on its own: send 01 02 .. 09 10 11 12 13 14 over and "
                                                   "over as fast as the line goes (needs --pace), in 14-byte "
                                                   "pieces unless --piece or --every say otherwise; answer "
                                                   "nothing. What the other side leaves unread for a second is "
                                                   "dropped."));
    parser.addOptions(
        {device, channel, id, baud, power, refuse, answer, split, silent, echo, pace, piece, every, stream});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst()));
    // These shape the answers, and a loop-back gives none: better said than silently ignored.
    for (const QCommandLineOption &mode : {echo, stream}) {
        if (!parser.isSet(mode))
            continue;
        for (const QCommandLineOption &answering : {refuse, answer, split, silent, echo}) {
            if (answering.names() != mode.names() && parser.isSet(answering))
                fail(QStringLiteral("--%1 answers no frame; --%2 does not go with it")
                         .arg(mode.names().constFirst(), answering.names().constFirst()));
        }
    }
    // Unpaced, a stream would only fill the other side's buffer as fast as it takes bytes.
    if (parser.isSet(stream) && !parser.isSet(pace))
        fail(QStringLiteral("--stream needs --pace"));

    RadioModule::Parameters parameters;
    parameters.channel = quint8(numberOption(parser, channel, 0, 255));
    parameters.id = quint16(numberOption(parser, id, 0, 65535));
    parameters.baudCode = codeOption(
        parser, baud, {QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("19200")}, {0x01, 0x02, 0x03});
    parameters.powerCode =
        codeOption(parser, power, {QStringLiteral("0"), QStringLiteral("5"), QStringLiteral("7"), QStringLiteral("10")},
                   {0x00, 0x05, 0x07, 0x0A});

    RadioModule module;
    module.setParameters(parameters);
    if (parser.isSet(refuse))
        module.setWriteAnswer(RadioModule::Refused);
    if (parser.isSet(answer)) {
        bool ok = false;
        const QString text = parser.value(answer);
        const uint byte = text.toUInt(&ok, 16);
        if (!ok || text.size() > 2)
            fail(QStringLiteral("--answer takes one byte in hex, such as 55, not \"%1\"").arg(text));
        module.setWriteAnswer(quint8(byte));
    }
    if (parser.isSet(split))
        module.setSplitDelay(numberOption(parser, split, 1, 60000));
    module.setSilent(parser.isSet(silent));
    module.setEcho(parser.isSet(echo));
    LineShaper::Shape shape;
    shape.paced = parser.isSet(pace);
    if (parser.isSet(piece))
        shape.pieceSize = numberOption(parser, piece, 1, 65536);
    if (parser.isSet(every))
        shape.everyMs = numberOption(parser, every, 1, 60000);
    module.setLineShape(shape);
    module.setStream(parser.isSet(stream));

    const bool opened = parser.isSet(device) ? module.openDevice(parser.value(device)) : module.openPseudoTerminal();
    if (!opened)
        fail(module.errorString());

    // The path alone on the first line, so that a script can pick it up.
    std::printf("%s\n", qPrintable(module.devicePath()));
    std::fflush(stdout);

    QObject::connect(&module, &RadioModule::frameHandled, [&module](const QByteArray &frame, const QByteArray &reply) {
        const QString answerText = reply.isEmpty() ? QStringLiteral("(silent)") : hexText(reply);
        std::fprintf(stderr, "%s -> %s    line %d baud\n", qPrintable(hexText(frame)), qPrintable(answerText),
                     module.lineBaudRate());
    });
    QObject::connect(&module, &RadioModule::lineLost, &app, [] {
        std::fprintf(stderr, "talven-radiosim: the device went away\n");
        QCoreApplication::exit(1);
    });
    return app.exec();
}
