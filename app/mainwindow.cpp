#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "receivelayout.h"

#include <QComboBox>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QRegExp>
#include <QRegExpValidator>
#include <QSerialPort>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QTextEdit>
#include <QTimer>

#include <initializer_list>

namespace {

// The form names three Windows faces by style: 黑体 (Hei, a sans), 宋体 or SimSun (Song, a serif; the
// captions' rich text and the banner) and 楷体 (Kai, brush script; the send box). Without them
// fontconfig falls back to one and the same face for all three. These substitutes apply only where
// the named face is missing, so a machine that has the Windows faces keeps them. The Song face is
// chosen for its metrics as much as its style: its lines are one em high, so the 10 pt captions of
// the radio panel stay inside their 16-pixel labels, which the CJK sans and serif faces (1.45 em
// lines) overflow; it has no bold of its own and gets a synthetic one.
void useStyleFaces()
{
    static const bool done = [] {
        QFont::insertSubstitution(QStringLiteral("黑体"), QStringLiteral("Noto Sans CJK SC"));
        QFont::insertSubstitution(QStringLiteral("宋体"), QStringLiteral("AR PL UMing CN"));
        QFont::insertSubstitution(QStringLiteral("SimSun"), QStringLiteral("AR PL UMing CN"));
        QFont::insertSubstitution(QStringLiteral("楷体"), QStringLiteral("AR PL UKai CN"));
        return true;
    }();
    Q_UNUSED(done)
}

// Narrows `label` to end just before x (in its parent), if it draws exactly the same that way.
bool endBefore(QLabel *label, int x)
{
    const QRect form = label->geometry();
    const QImage whole = label->grab().toImage();
    label->setGeometry(form.adjusted(0, 0, x - 1 - form.right(), 0));
    const QImage narrow = label->grab().toImage();
    if (narrow == whole.copy(narrow.rect()))
        return true;
    label->setGeometry(form);
    return false;
}

} // namespace

void MainWindow::prepareApplication()
{
    // Qt 5 does not scale by itself: on a 2x screen the fixed 600 x 585 window would come out at half
    // its size.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // On X11, Qt hands the window's pixels to the server through shared memory, and before each paint
    // waits a full round trip for the server to have read the last one. During a link test the box
    // and counters are repainted 25 times a second, each a few lines: that wait cost more than the
    // paint, for the window and the server alike. Sent on the connection instead, those few lines
    // cost less, and scrolling still happens on the server. Qt reads the variable once, when it
    // connects; whoever sets it (to anything) has already chosen the same.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , myCom(nullptr)
    , portOpen(false)
    , hexPos(0)
    , byteNo(0)
    , replyChannel(0)
    , replyId(0)
    , tokenLen(0)
    , textPos(0)
    , sentBytes(0)
    , receivedBytes(0)
    , sendCount(0)
    , matchCount(0)
    , readParamPending(false)
    , channelWritePending(false)
    , idWritePending(false)
    , baudWritePending(false)
    , powerWritePending(false)
    , autoSendTimer(nullptr)
    , countersPending(false)
    , displayTimer(nullptr)
    , displaySpacing(40)
    , lastDisplayAt(0)
    , pendingSince(0)
    , matchTextStale(true)
    , historyLimit(defaultReceiveHistory)
    , autoSendWaiting(false)
{
    // Before setupUi, so that every widget is built and measured with these faces.
    useStyleFaces();
    ui->setupUi(this);
    setWindowTitle(tr("MerivoxV1.1"));
    setWindowIcon(QIcon(":/talven.ico"));

    // Everything that talks to the module or sends needs an open port; opening the port unlocks it.
    for (QWidget *w :
         std::initializer_list<QWidget *>{ui->pushButton_18, ui->pushButton_19, ui->pushButton_20, ui->pushButton_21,
                                          ui->pushButton_22, ui->pushButton_23, ui->pushButton_17})
        w->setEnabled(false);
    ui->pushButton_10->setStyleSheet("background: pink");
    // The outcome and read-back fields stay disabled for good: they are read-only displays.
    for (QWidget *w : std::initializer_list<QWidget *>{
             ui->lineEdit_14, ui->lineEdit_15, ui->lineEdit_16, ui->lineEdit_17, ui->lineEdit_18, ui->lineEdit_19,
             ui->lineEdit_20, ui->lineEdit_21, ui->lineEdit_22, ui->lineEdit_23, ui->lineEdit_24, ui->lineEdit_25,
             ui->lineEdit_26, ui->lineEdit_27, ui->checkBox, ui->comboBox_7, ui->comboBox_8})
        w->setEnabled(false);

    // The counters change 25 times a second through a link test. Digits, signs and "%" need no
    // OpenType shaping; without it Qt measures and draws them straight from the font's advances, at
    // half the cost. The style sheets still set the face and size over this.
    for (QLabel *figure : {ui->label_22, ui->label_46, ui->label_26, ui->label_32, ui->label_45}) {
        QFont unshaped;
        unshaped.setStyleStrategy(QFont::PreferNoShaping);
        figure->setFont(unshaped);
    }

    ui->comboBox_6->setCurrentIndex(1);
    ui->comboBox_7->setCurrentIndex(1);
    ui->comboBox_8->setCurrentIndex(3);
    // Say which device each COM name opens on this machine.
    followPortDevices();

    ui->lineEdit_15->setValidator(new QRegExpValidator(QRegExp("[0-9][0-9][0-9]"), this));
    ui->lineEdit_19->setValidator(new QRegExpValidator(QRegExp("[0-9][0-9][0-9][0-9]"), this));
    ui->lineEdit_14->setValidator(new QRegExpValidator(QRegExp("[0-9][0-9][0-9][0-9][0-9][0-9]"), this));

    ui->textBrowser->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Hours of history: the box's own layout keeps lines only for what is shown.
    ui->textBrowser->document()->setDocumentLayout(new ReceiveLayout(ui->textBrowser->document()));
    // At line rate the scroll range grows 25 times a second; these skip repainting a slider that
    // looks the same.
    ui->textBrowser->setVerticalScrollBar(new SteadyScrollBar(Qt::Vertical));
    ui->textBrowser->setHorizontalScrollBar(new SteadyScrollBar(Qt::Horizontal));
    // After every change of a bar's range the scroll area lays its parts out again (queued), to show
    // or hide the bar. This one is always shown, so that would put everything where it already is,
    // 25 times a second at line rate.
    disconnect(ui->textBrowser->verticalScrollBar(), SIGNAL(rangeChanged(int, int)), ui->textBrowser,
               SLOT(_q_showOrHideScrollBars()));
    ui->textEdit_2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Looking for a word boundary costs the square of a run's length: a pasted hex dump without
    // blanks would freeze the window for seconds. Hex text reads fine broken anywhere.
    ui->textEdit_2->setWordWrapMode(QTextOption::WrapAnywhere);

    autoSendTimer = new QTimer(this);
    connect(autoSendTimer, SIGNAL(timeout()), this, SLOT(timeFunction()));

    // Started by readMyCom with the wait that keeps updates displaySpacing apart.
    displayTimer = new QTimer(this);
    displayTimer->setSingleShot(true);
    displayTimer->setInterval(displaySpacing);
    displayClock.start();
    connect(displayTimer, &QTimer::timeout, this, &MainWindow::flushReceiveDisplay);
    connect(ui->textEdit_2, &QTextEdit::textChanged, this, [this] { matchTextStale = true; });

    auto *statsTimer = new QTimer(this);
    connect(statsTimer, SIGNAL(timeout()), this, SLOT(timeFunction1()));
    statsTimer->start(1000);

    // Three counters overlap their captions by a pixel in the form, so every count change would
    // repaint the caption as well: its rich text drawn again, 25 times a second through a link test,
    // for one column of background. A caption that looks the same without that column ends where its
    // counter begins. One that does not keeps at least its shaped glyphs, which Qt would otherwise
    // shape again at every paint: QLabel fills its document (a child object) when first measured, and
    // a change of font lays the same paragraphs out again and keeps this.
    // This comes last: drawing a caption to compare polishes the whole window, and a scroll bar
    // policy set after that (the send box's) never shows its bar.
    for (QLabel *figure : {ui->label_22, ui->label_46, ui->label_26, ui->label_32, ui->label_45}) {
        for (QObject *child : figure->parentWidget()->children()) {
            auto *caption = qobject_cast<QLabel *>(child);
            if (!caption || caption == figure)
                continue;
            const QRect form = caption->geometry();
            const QRect overlap = form & figure->geometry();
            if (overlap.isEmpty() || form.left() >= overlap.left())
                continue;
            caption->ensurePolished();
            if (!endBefore(caption, overlap.left())) {
                caption->sizeHint();
                if (auto *doc = caption->findChild<QTextDocument *>()) {
                    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
                        b.layout()->setCacheEnabled(true);
                }
            }
        }
    }
}

MainWindow::~MainWindow()
{
    // The history goes in one edit before the widgets do, so that closing after a long run is quick
    // (some 15 ms with the box at its bound) and no pending update outlives the window's parts.
    displayTimer->stop();
    ui->textBrowser->clear();
    delete ui;
    // The port object has no parent; release the device with the window rather than at process end.
    if (myCom) {
        myCom->disconnect(this);
        delete myCom;
    }
}
