// The main form, object by object, and the window as the constructor leaves it.
//
// One table lists all 89 objects of the form in creation order. The form itself (setupUi on a
// bare QMainWindow, before the constructor changes anything) is checked against every column of
// it; the constructed MainWindow must hold exactly the same tree, and the start-up tests then
// look at what the constructor changed, including the faces the form's font names stand for and
// that every caption shows whole in them.

#include "testaccess.h"
#include "testsupport.h"

#include <QAbstractTextDocumentLayout>
#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QRegExpValidator>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QToolBar>
#include <QtTest>

#include <memory>

namespace {

// Every style sheet the form sets; the table refers to them by number, 0 meaning none.
const char *const styleSheets[] = {
    nullptr,
    "#MainWindow{\nborder-image: url(:/grey.jpg);\n}",
    "font: 75 12pt \"黑体\";",
    "background-image: url(:/yellow.jpg);",
    "",
    "background-image: url(:/white.jpg);",
    "font: 75 14pt \"黑体\";",
    "font: 75 12pt \"黑体\";\nbackground-image: url(:/blue.jpg);",
    "background-image: url(:/blue.jpg);\n",
    "font: 75 10pt \"黑体\";\nbackground-image: url(:/white.jpg);",
    "background-image: url(:/white.jpg);\ncolor: rgb(0, 85, 255);\nfont: 75 12pt \"黑体\";",
    "font: 75 10pt \"黑体\";",
    "font: 75 12pt \"宋体\";",
    "font: 75 10pt \"楷体\";\n",
};

enum TextKind { NoText, Plain, Rich };

struct FormObject {
    const char *name;
    // The class name; lines are QFrames written "HLine" or "VLine", panels QFrames written "Panel".
    const char *kind;
    const char *parent;
    // Empty for the central widget and for layout items, which their layout places.
    QRect geometry;
    QSize minimum;
    int style;
    TextKind textKind;
    // The visible text (for a rich caption its plain text); for a combo box its items, '|' between.
    const char *text;
};

const QRect inLayout;
const char *const central = "centralWidget";

// clang-format off
const FormObject form[] = {
    {"centralWidget", "QWidget", "MainWindow", inLayout, {}, 0, NoText, nullptr},
    {"line_12", "VLine", central, {556, 67, 21, 301}, {}, 0, NoText, nullptr},
    {"label_24", "QLabel", central, {306, 527, 81, 20}, {}, 0, Rich, "接收计数："},
    {"label_32", "QLabel", central, {556, 527, 31, 20}, {}, 2, Plain, "0"},
    {"line_14", "VLine", central, {446, 65, 20, 301}, {}, 0, NoText, nullptr},
    {"line_15", "HLine", central, {526, 57, 41, 20}, {}, 0, NoText, nullptr},
    {"label_25", "QLabel", central, {156, 557, 81, 20}, {}, 0, Rich, "发送周期："},
    {"line_9", "HLine", central, {296, 38, 281, 20}, {}, 0, NoText, nullptr},
    {"frame", "Panel", central, {8, 37, 191, 351}, {}, 3, NoText, nullptr},
    {"line_3", "HLine", "frame", {10, 330, 165, 20}, {}, 4, NoText, nullptr},
    {"layoutWidget_2", "QWidget", "frame", {32, 32, 131, 291}, {}, 0, NoText, nullptr},
    {"verticalLayout_2", "QVBoxLayout", "layoutWidget_2", inLayout, {}, 0, NoText, nullptr},
    {"label_7", "QLabel", "layoutWidget_2", inLayout, {}, 0, Rich, "格式：8 N 1"},
    {"label_8", "QLabel", "layoutWidget_2", inLayout, {}, 0, Rich, "选择串口："},
    {"comboBox_5", "QComboBox", "layoutWidget_2", inLayout, {0, 25}, 5, Plain,
     "COM1|COM2|COM3|COM4|COM5|COM6|COM7|COM8"},
    {"label_19", "QLabel", "layoutWidget_2", inLayout, {}, 0, Rich, "波特率："},
    {"comboBox_6", "QComboBox", "layoutWidget_2", inLayout, {0, 25}, 5, Plain, "4800|9600|19200"},
    {"pushButton_10", "QPushButton", "layoutWidget_2", inLayout, {101, 41}, 4, Plain, "打开串口"},
    {"horizontalLayout_2", "QHBoxLayout", "verticalLayout_2", inLayout, {}, 0, NoText, nullptr},
    {"pushButton_11", "QPushButton", "layoutWidget_2", inLayout, {51, 31}, 0, Plain, "联系"},
    {"pushButton_12", "QPushButton", "layoutWidget_2", inLayout, {51, 31}, 0, Plain, "说明"},
    {"pushButton_14", "QPushButton", "layoutWidget_2", inLayout, {101, 41}, 6, Plain, "退出"},
    {"pushButton_15", "QPushButton", central, {546, 467, 41, 51}, {}, 7, Plain, "清\n空"},
    {"label_20", "QLabel", central, {466, 57, 61, 21}, {}, 0, Rich, "读取参数"},
    {"pushButton_16", "QPushButton", central, {486, 397, 101, 61}, {}, 7, Plain, "清空接收\n数据"},
    {"label_21", "QLabel", central, {-4, 477, 151, 21}, {}, 0, Rich, "发送十六进制数"},
    {"label_27", "QLabel", central, {6, 557, 71, 21}, {}, 0, Rich, "误码率："},
    {"line", "VLine", central, {6, 47, 31, 331}, {}, 0, NoText, nullptr},
    {"line_4", "VLine", central, {176, 47, 20, 331}, {}, 0, NoText, nullptr},
    {"label_29", "QLabel", central, {156, 527, 81, 20}, {}, 0, Rich, "发送次数："},
    {"label_22", "QLabel", central, {86, 527, 51, 20}, {}, 2, Rich, "0"},
    {"label_23", "QLabel", central, {6, 527, 81, 20}, {}, 0, Rich, "发送计数："},
    {"label_26", "QLabel", central, {386, 527, 41, 20}, {}, 2, Plain, "0"},
    {"line_5", "HLine", central, {146, 40, 40, 16}, {}, 0, NoText, nullptr},
    {"line_11", "VLine", central, {216, 67, 20, 301}, {}, 0, NoText, nullptr},
    {"lineEdit_14", "QLineEdit", central, {246, 557, 61, 20}, {}, 2, Plain, "1000"},
    {"pushButton_17", "QPushButton", central, {486, 467, 41, 51}, {}, 7, Plain, "发\n送"},
    {"label_31", "QLabel", central, {436, 527, 111, 20}, {}, 0, Rich, "完整接收次数："},
    {"line_13", "HLine", central, {296, 57, 161, 16}, {}, 0, NoText, nullptr},
    {"checkBox", "QCheckBox", central, {406, 557, 91, 21}, {}, 2, Plain, "自动发送"},
    {"label_28", "QLabel", central, {316, 557, 71, 20}, {}, 0, Rich, "毫秒/次"},
    {"line_8", "VLine", central, {566, 47, 20, 331}, {}, 0, NoText, nullptr},
    {"label_30", "QLabel", central, {236, 57, 61, 21}, {}, 0, Rich, "写入参数"},
    {"frame_2", "Panel", central, {206, 37, 381, 351}, {}, 3, NoText, nullptr},
    // The radio parameter panel.
    {"label_33", "QLabel", "frame_2", {20, 0, 71, 21}, {}, 0, Rich, "RF参数"},
    {"frame_4", "Panel", "frame_2", {18, 20, 345, 311}, {}, 8, NoText, nullptr},
    {"label_34", "QLabel", "frame_4", {10, 20, 211, 20}, {}, 0, Rich, "信道：0-255   状态    操作"},
    {"lineEdit_15", "QLineEdit", "frame_4", {10, 40, 81, 25}, {}, 9, Plain, "0"},
    {"lineEdit_16", "QLineEdit", "frame_4", {100, 40, 61, 25}, {}, 10, Plain, ""},
    {"lineEdit_17", "QLineEdit", "frame_4", {10, 90, 81, 25}, {}, 9, Plain, "1"},
    {"pushButton_18", "QPushButton", "frame_4", {170, 40, 51, 25}, {}, 0, Plain, "写入"},
    {"pushButton_19", "QPushButton", "frame_4", {170, 90, 51, 25}, {}, 0, Plain, "写入"},
    {"pushButton_20", "QPushButton", "frame_4", {170, 140, 51, 25}, {}, 0, Plain, "写入"},
    {"pushButton_21", "QPushButton", "frame_4", {170, 190, 51, 25}, {}, 0, Plain, "写入"},
    {"pushButton_22", "QPushButton", "frame_4", {170, 250, 51, 25}, {}, 0, Plain, "写入"},
    {"lineEdit_18", "QLineEdit", "frame_4", {100, 90, 61, 25}, {}, 5, Plain, ""},
    {"lineEdit_19", "QLineEdit", "frame_4", {10, 140, 81, 25}, {}, 9, Plain, "0"},
    {"lineEdit_20", "QLineEdit", "frame_4", {100, 140, 61, 25}, {}, 10, Plain, ""},
    {"lineEdit_21", "QLineEdit", "frame_4", {100, 190, 61, 25}, {}, 10, Plain, ""},
    {"lineEdit_22", "QLineEdit", "frame_4", {100, 250, 61, 25}, {}, 10, Plain, ""},
    {"comboBox_7", "QComboBox", "frame_4", {10, 190, 81, 25}, {}, 5, Plain, "4800|9600|19200"},
    {"comboBox_8", "QComboBox", "frame_4", {10, 250, 81, 25}, {}, 5, Plain, "0|5|7|10"},
    {"label_35", "QLabel", "frame_4", {10, 70, 151, 16}, {}, 0, Rich, "信道速率：kbps"},
    {"label_36", "QLabel", "frame_4", {10, 120, 151, 16}, {}, 0, Rich, "ID：0-9999"},
    {"label_37", "QLabel", "frame_4", {10, 170, 151, 21}, {}, 0, Rich, "波特率：kbps"},
    {"label_38", "QLabel", "frame_4", {10, 220, 151, 20}, {}, 0, Rich, "功率：单位dbm"},
    {"label_39", "QLabel", "frame_4", {230, 20, 101, 20}, {}, 0, Rich, "信道：0-255\n"},
    {"lineEdit_23", "QLineEdit", "frame_4", {240, 40, 81, 25}, {}, 5, Plain, ""},
    {"label_40", "QLabel", "frame_4", {240, 70, 101, 21}, {}, 0, Rich, "信道速率：kbps"},
    {"lineEdit_24", "QLineEdit", "frame_4", {240, 90, 81, 25}, {}, 5, Plain, ""},
    {"label_41", "QLabel", "frame_4", {240, 120, 91, 16}, {}, 0, Rich, "ID：0-9999"},
    {"lineEdit_25", "QLineEdit", "frame_4", {240, 140, 81, 25}, {}, 5, Plain, ""},
    {"label_42", "QLabel", "frame_4", {240, 170, 91, 21}, {}, 0, Rich, "波特率：kbps\n"},
    {"lineEdit_26", "QLineEdit", "frame_4", {240, 190, 81, 25}, {}, 5, Plain, ""},
    {"label_43", "QLabel", "frame_4", {240, 220, 101, 20}, {}, 0, Rich, "功率：单位dbm"},
    {"lineEdit_27", "QLineEdit", "frame_4", {240, 250, 81, 25}, {}, 5, Plain, ""},
    {"line_16", "HLine", "frame_4", {0, 299, 341, 21}, {}, 0, NoText, nullptr},
    {"pushButton_23", "QPushButton", "frame_4", {254, 280, 61, 23}, {}, 11, Plain, "读取"},
    {"line_17", "HLine", "frame_2", {10, 330, 361, 20}, {}, 0, NoText, nullptr},
    // Back in the central widget.
    {"pushButton_24", "QPushButton", central, {506, 552, 81, 26}, {}, 2, Plain, "清空计数"},
    {"label_44", "QLabel", central, {-4, 417, 151, 21}, {}, 0, Rich, "接收数据返回框"},
    {"textBrowser", "QTextBrowser", central, {156, 397, 321, 61}, {}, 11, Plain, ""},
    {"label_45", "QLabel", central, {76, 557, 61, 20}, {}, 2, Plain, ""},
    {"label", "QLabel", central, {26, 7, 531, 20}, {}, 12, Rich, "欢迎使用Orvane    MerivoxV1.1"},
    {"textEdit_2", "QTextEdit", central, {156, 467, 321, 51}, {}, 13, Rich, "1 2 3 4 5 6 7 8 9 10 11 12 13 14"},
    {"label_2", "QLabel", central, {56, 37, 81, 21}, {}, 0, Rich, "串口参数"},
    {"label_46", "QLabel", central, {246, 527, 51, 20}, {}, 2, Plain, "0"},
    {"line_6", "VLine", central, {206, 47, 16, 331}, {}, 0, NoText, nullptr},
    {"line_18", "HLine", central, {20, 40, 31, 16}, {}, 0, NoText, nullptr},
};
// clang-format on

// Greyed right after start: everything that needs an open port, and the read-only displays.
const QStringList disabledAtStart = {
    "pushButton_17", "pushButton_18", "pushButton_19", "pushButton_20", "pushButton_21", "pushButton_22",
    "pushButton_23", "lineEdit_14",   "lineEdit_15",   "lineEdit_16",   "lineEdit_17",   "lineEdit_18",
    "lineEdit_19",   "lineEdit_20",   "lineEdit_21",   "lineEdit_22",   "lineEdit_23",   "lineEdit_24",
    "lineEdit_25",   "lineEdit_26",   "lineEdit_27",   "checkBox",      "comboBox_7",    "comboBox_8",
};

// The form's own objects under the window, in tree order: Qt's internal helpers (scroll areas'
// "qt_" widgets, the main window's layout, unnamed models, validators and timers) are left out.
QList<QObject *> formObjects(QMainWindow *window)
{
    QList<QObject *> objects;
    const auto all = window->findChildren<QObject *>();
    for (QObject *object : all) {
        const QString name = object->objectName();
        if (!name.isEmpty() && !name.startsWith("qt_") && object != window->layout())
            objects.append(object);
    }
    return objects;
}

// The class name, or for a plain QFrame its shape, which is how the table tells lines and panels apart.
QString kindOf(const QObject *object)
{
    if (object->metaObject() == &QFrame::staticMetaObject) {
        switch (static_cast<const QFrame *>(object)->frameShape()) {
        case QFrame::HLine:
            return "HLine";
        case QFrame::VLine:
            return "VLine";
        case QFrame::StyledPanel:
            return "Panel";
        default:
            break;
        }
    }
    return object->metaObject()->className();
}

// The text a widget shows: a rich caption as the plain text of its document.
QString visibleText(const QObject *object)
{
    if (auto *label = qobject_cast<const QLabel *>(object)) {
        if (!Qt::mightBeRichText(label->text()))
            return label->text();
        QTextDocument document;
        document.setHtml(label->text());
        return document.toPlainText();
    }
    if (auto *button = qobject_cast<const QAbstractButton *>(object))
        return button->text();
    if (auto *edit = qobject_cast<const QLineEdit *>(object))
        return edit->text();
    if (auto *edit = qobject_cast<const QTextEdit *>(object))
        return edit->toPlainText();
    if (auto *combo = qobject_cast<const QComboBox *>(object)) {
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        return items.join('|');
    }
    return {};
}

// Where a label's text is painted, in the label's coordinates: drawn the way QLabel draws it, but on
// a canvas with room around the label, so that whatever its edges would cut shows. Pixels less than
// half covered are the anti-aliasing of a stroke edge that lies in the next pixel; they do not count.
QRect paintedInk(QLabel *label)
{
    const int room = 32;
    QImage canvas(label->size() + QSize(2 * room, 2 * room), QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.translate(room, room);
    const QRect contents = label->contentsRect();
    if (auto *document = label->findChild<QTextDocument *>()) {
        // Rich text: the label's own document, laid out at the label's width, drawn at the top of
        // the contents and moved down to centre it when it is shorter.
        const qreal height = document->documentLayout()->documentSize().height();
        qreal top = contents.top();
        if (label->alignment() & Qt::AlignVCenter)
            top += qMax((contents.height() - height) / 2, qreal(0));
        else if (label->alignment() & Qt::AlignBottom)
            top += qMax(contents.height() - height, qreal(0));
        painter.translate(contents.left(), top);
        document->drawContents(&painter);
    } else {
        painter.setFont(label->font());
        painter.drawText(contents, int(label->alignment()), label->text());
    }
    painter.end();
    QRect ink;
    for (int y = 0; y < canvas.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(canvas.constScanLine(y));
        for (int x = 0; x < canvas.width(); ++x) {
            if (qAlpha(line[x]) >= 128)
                ink |= QRect(x - room, y - room, 1, 1);
        }
    }
    return ink;
}

// Whatever a click could change that a user would see.
QStringList snapshot(QMainWindow *window)
{
    QStringList state{window->windowTitle()};
    for (QObject *object : formObjects(window)) {
        QString line = object->objectName() + ' ' + visibleText(object);
        if (auto *widget = qobject_cast<QWidget *>(object))
            line += QString(" %1 %2 %3").arg(widget->isEnabled()).arg(widget->isVisible()).arg(widget->styleSheet());
        if (auto *combo = qobject_cast<QComboBox *>(object))
            line += QString(" %1").arg(combo->currentIndex());
        if (auto *check = qobject_cast<QCheckBox *>(object))
            line += QString(" %1").arg(check->isChecked());
        state << line;
    }
    return state;
}

} // namespace

class TestForm : public QObject {
    Q_OBJECT

private:
    // The form as setupUi leaves it, before any constructor step.
    std::unique_ptr<QMainWindow> bare;
    Ui::MainWindow bareUi;
    // The real window, as main() would show it.
    std::unique_ptr<MainWindow> window;

private slots:
    void initTestCase()
    {
        bare = std::make_unique<QMainWindow>();
        bareUi.setupUi(bare.get());
        window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void cleanupTestCase()
    {
        window.reset();
        bare.reset();
    }

    // Every column of the table, on the form straight out of setupUi.
    void objects_data()
    {
        QTest::addColumn<int>("row");
        for (int row = 0; row < int(std::size(form)); ++row)
            QTest::newRow(form[row].name) << row;
    }
    void objects()
    {
        QFETCH(int, row);
        const FormObject &expected = form[row];
        QObject *object = bare->findChild<QObject *>(expected.name);
        QVERIFY(object);
        QCOMPARE(kindOf(object), QString(expected.kind));
        QVERIFY(object->parent());
        QCOMPARE(object->parent()->objectName(), QString(expected.parent));

        auto *w = qobject_cast<QWidget *>(object);
        if (!w) {
            QVERIFY(object->inherits("QLayout"));
            return;
        }
        if (expected.geometry.isValid()) {
            QCOMPARE(w->geometry(), expected.geometry);
        } else if (w != bareUi.centralWidget) {
            // Placed by the port panel's layout instead.
            QVERIFY(bareUi.verticalLayout_2->indexOf(w) >= 0 || bareUi.horizontalLayout_2->indexOf(w) >= 0);
        }
        QCOMPARE(w->minimumSize(), expected.minimum.isValid() ? expected.minimum : QSize(0, 0));
        QCOMPARE(w->maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
        QCOMPARE(w->styleSheet(), QString(styleSheets[expected.style]));

        if (auto *frame = qobject_cast<QFrame *>(w); frame && frame->metaObject() == &QFrame::staticMetaObject)
            QCOMPARE(frame->frameShadow(),
                     frame->frameShape() == QFrame::StyledPanel ? QFrame::Raised : QFrame::Sunken);

        if (expected.textKind == NoText)
            return;
        QCOMPARE(visibleText(w), QString(expected.text));
        if (auto *label = qobject_cast<QLabel *>(w))
            QCOMPARE(Qt::mightBeRichText(label->text()), expected.textKind == Rich);
    }

    // The same objects, no more, in the same order, both on the bare form and on the real window.
    void tree_data()
    {
        QTest::addColumn<bool>("constructed");
        QTest::newRow("setupUi") << false;
        QTest::newRow("MainWindow") << true;
    }
    void tree()
    {
        QFETCH(bool, constructed);
        QMainWindow *root = constructed ? window.get() : bare.get();
        const QList<QObject *> objects = formObjects(root);

        QStringList names, expectedNames;
        QMap<QString, int> perKind;
        for (QObject *object : objects) {
            names << object->objectName();
            ++perKind[kindOf(object)];
        }
        for (const FormObject &row : form)
            expectedNames << row.name;
        std::sort(names.begin(), names.end());
        std::sort(expectedNames.begin(), expectedNames.end());
        QCOMPARE(names, expectedNames);

        const QMap<QString, int> expectedPerKind{
            {"QWidget", 2},   {"QVBoxLayout", 1}, {"QHBoxLayout", 1},  {"QLabel", 32},    {"HLine", 8},
            {"VLine", 7},     {"Panel", 3},       {"QPushButton", 14}, {"QLineEdit", 14}, {"QComboBox", 4},
            {"QCheckBox", 1}, {"QTextEdit", 1},   {"QTextBrowser", 1}};
        QCOMPARE(perKind.keys(), expectedPerKind.keys());
        QCOMPARE(perKind.values(), expectedPerKind.values());

        // Creation order among siblings is the children() order; it is also the stacking order.
        for (QObject *parent : objects + QList<QObject *>{root}) {
            QStringList order, expectedOrder;
            for (QObject *child : parent->children()) {
                if (objects.contains(child))
                    order << child->objectName();
            }
            for (const FormObject &row : form) {
                if (row.parent == parent->objectName())
                    expectedOrder << row.name;
            }
            QCOMPARE(order, expectedOrder);
        }
        QCOMPARE(root->centralWidget()->objectName(), QString(central));
    }

    void portPanelLayout()
    {
        QVBoxLayout *column = bareUi.verticalLayout_2;
        QCOMPARE(column->parentWidget(), bareUi.layoutWidget_2);
        QCOMPARE(column->spacing(), 6);
        QCOMPARE(column->contentsMargins(), QMargins(0, 0, 0, 0));
        const QList<QLayoutItem *> items{column->itemAt(0), column->itemAt(1), column->itemAt(2), column->itemAt(3),
                                         column->itemAt(4), column->itemAt(5), column->itemAt(6), column->itemAt(7)};
        QCOMPARE(column->count(), 8);
        const QList<QObject *> expected{
            bareUi.label_7,    bareUi.label_8,       bareUi.comboBox_5,         bareUi.label_19,
            bareUi.comboBox_6, bareUi.pushButton_10, bareUi.horizontalLayout_2, bareUi.pushButton_14};
        for (int i = 0; i < items.size(); ++i) {
            QObject *item = items[i]->widget() ? static_cast<QObject *>(items[i]->widget()) : items[i]->layout();
            QCOMPARE(item, expected[i]);
            QCOMPARE(column->stretch(i), 0);
            QCOMPARE(items[i]->alignment(), Qt::Alignment());
        }

        QHBoxLayout *row = bareUi.horizontalLayout_2;
        QCOMPARE(row->spacing(), 6);
        QCOMPARE(row->contentsMargins(), QMargins(0, 0, 0, 0));
        QCOMPARE(row->count(), 2);
        QCOMPARE(row->itemAt(0)->widget(), bareUi.pushButton_11);
        QCOMPARE(row->itemAt(1)->widget(), bareUi.pushButton_12);
    }

    // How some captions look, read back from their rich text.
    void captionFormats_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("block");
        QTest::addColumn<int>("spans");
        QTest::addColumn<Qt::Alignment>("alignment");
        QTest::addColumn<QString>("family");
        QTest::addColumn<qreal>("pointSize");
        QTest::addColumn<int>("weight");
        QTest::addColumn<QColor>("colour");
        const Qt::Alignment left = Qt::AlignLeft, centre = Qt::AlignHCenter;
        QTest::newRow("format note") << "label_7" << 0 << 1 << centre << "SimSun" << 12.0 << 75 << QColor("#ff00ff");
        QTest::newRow("panel title") << "label_2" << 0 << 1 << centre << "SimSun" << 14.0 << 50 << QColor("#ff0000");
        QTest::newRow("counter caption") << "label_24" << 0 << 1 << left << "SimSun" << 12.0 << 75 << QColor();
        QTest::newRow("two runs") << "label_31" << 0 << 2 << left << "SimSun" << 12.0 << 75 << QColor();
        QTest::newRow("RF title") << "label_33" << 0 << 1 << centre << "SimSun" << 14.0 << 75 << QColor("#0055ff");
        QTest::newRow("hidden read") << "label_20" << 0 << 1 << centre << "SimSun" << 10.0 << 75 << QColor("#5500ff");
        QTest::newRow("hidden write") << "label_30" << 0 << 1 << centre << "SimSun" << 10.0 << 75 << QColor("#0000ff");
        QTest::newRow("grid head") << "label_34" << 0 << 1 << left << "SimSun" << 10.0 << 75 << QColor();
        QTest::newRow("empty centred tail") << "label_39" << 1 << 1 << centre << "SimSun" << 10.0 << 75 << QColor();
        QTest::newRow("empty tail") << "label_42" << 1 << 1 << left << "SimSun" << 10.0 << 75 << QColor();
        // CSS weight 72 reads back as Qt weight 9.
        QTest::newRow("sent total") << "label_22" << 0 << 0 << left << "黑体" << 12.0 << 9 << QColor();
        QTest::newRow("banner") << "label" << 0 << 1 << centre << "SimSun" << 12.0 << 75 << QColor();
        QTest::newRow("send box") << "textEdit_2" << 0 << 0 << left << "楷体" << 10.0 << 9 << QColor();
    }
    void captionFormats()
    {
        QFETCH(QString, name);
        QFETCH(int, block);
        QFETCH(int, spans);
        QFETCH(Qt::Alignment, alignment);
        QFETCH(QString, family);
        QFETCH(qreal, pointSize);
        QFETCH(int, weight);
        QFETCH(QColor, colour);

        QObject *object = bare->findChild<QObject *>(name);
        QVERIFY(object);
        QString html;
        if (auto *label = qobject_cast<QLabel *>(object))
            html = label->text();
        else
            html = qobject_cast<QTextEdit *>(object)->toHtml();
        QTextDocument document;
        document.setHtml(html);
        if (qobject_cast<QLabel *>(object))
            QCOMPARE(html.count("<span"), spans);

        const QTextBlock paragraph = document.findBlockByNumber(block);
        QVERIFY(paragraph.isValid());
        QCOMPARE(paragraph.blockFormat().alignment() & Qt::AlignHorizontal_Mask, alignment);
        // An empty paragraph keeps its format in the block; otherwise the text's run has it.
        const QTextCharFormat format =
            paragraph.length() > 1 ? paragraph.begin().fragment().charFormat() : paragraph.charFormat();
        QCOMPARE(format.font().family(), family);
        QCOMPARE(format.fontPointSize(), pointSize);
        QCOMPARE(format.fontWeight(), weight);
        QCOMPARE(format.hasProperty(QTextFormat::ForegroundBrush), colour.isValid());
        if (colour.isValid())
            QCOMPARE(format.foreground().color(), colour);
    }

    // The faces the form's font names stand for where the Windows faces are missing: one of each
    // style, the sans with a bold of its own.
    void faces_data()
    {
        QTest::addColumn<QString>("named");
        QTest::addColumn<QString>("face");
        QTest::addColumn<QString>("boldStyle");
        QTest::newRow("Hei") << "黑体"
                             << "Noto Sans CJK SC"
                             << "Bold";
        QTest::newRow("Song") << "宋体"
                              << "AR PL UMing CN" << QString();
        QTest::newRow("Song, Latin name") << "SimSun"
                                          << "AR PL UMing CN" << QString();
        QTest::newRow("Kai") << "楷体"
                             << "AR PL UKai CN" << QString();
    }
    void faces()
    {
        QFETCH(QString, named);
        QFETCH(QString, face);
        QFETCH(QString, boldStyle);
        if (QFontDatabase().families().contains(named))
            QSKIP("the Windows face itself is installed");
        QCOMPARE(QFontInfo(QFont(named, 12)).family(), face);
        const QFontInfo bold(QFont(named, 12, QFont::Bold));
        QCOMPARE(bold.family(), face);
        if (!boldStyle.isEmpty())
            QCOMPARE(bold.styleName(), boldStyle);
    }

    // Every caption shows whole: its glyphs lie inside the part of its label that its parent shows.
    void captionsWhole_data()
    {
        QTest::addColumn<QString>("name");
        for (const FormObject &row : form) {
            if (QString(row.kind) == "QLabel" && row.text && *row.text)
                QTest::newRow(row.name) << row.name;
        }
    }
    void captionsWhole()
    {
        QFETCH(QString, name);
        auto *label = window->findChild<QLabel *>(name);
        QVERIFY(label);
        // Painting lays a rich caption out at the label's own width.
        label->grab();
        QCOMPARE(bool(label->findChild<QTextDocument *>()), Qt::mightBeRichText(label->text()));
        const QRect shown = label->contentsRect() & label->parentWidget()->rect().translated(-label->pos());
        const QRect ink = paintedInk(label);
        QVERIFY(!ink.isEmpty());
        QVERIFY2(shown.contains(ink), qPrintable(QString("painted x %1..%2, y %3..%4; shown x %5..%6, y %7..%8")
                                                     .arg(ink.left())
                                                     .arg(ink.right() + 1)
                                                     .arg(ink.top())
                                                     .arg(ink.bottom() + 1)
                                                     .arg(shown.left())
                                                     .arg(shown.right() + 1)
                                                     .arg(shown.top())
                                                     .arg(shown.bottom() + 1)));
    }

    void windowShape_data()
    {
        QTest::addColumn<bool>("constructed");
        QTest::newRow("setupUi") << false;
        QTest::newRow("MainWindow") << true;
    }
    void windowShape()
    {
        QFETCH(bool, constructed);
        QMainWindow *w = constructed ? window.get() : bare.get();
        QCOMPARE(w->objectName(), QString("MainWindow"));
        QCOMPARE(w->size(), QSize(600, 585));
        QCOMPARE(w->minimumSize(), QSize(600, 585));
        QCOMPARE(w->maximumSize(), QSize(600, 585));
        QCOMPARE(w->styleSheet(), QString(styleSheets[1]));
        QVERIFY(!w->menuWidget());
        QVERIFY(!w->findChild<QMenuBar *>());
        QVERIFY(!w->findChild<QStatusBar *>());
        QVERIFY(!w->findChild<QToolBar *>());
    }

    // What setupUi alone leaves, before the constructor's steps.
    void formBeforeConstructor()
    {
        QCOMPARE(bare->windowTitle(), QString("MainWindow"));
        for (QObject *object : formObjects(bare.get())) {
            if (auto *w = qobject_cast<QWidget *>(object)) {
                QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
                QVERIFY2(!w->isHidden(), qPrintable(w->objectName()));
            }
            if (auto *combo = qobject_cast<QComboBox *>(object))
                QCOMPARE(combo->currentIndex(), 0);
        }
        QVERIFY(!bareUi.checkBox->isChecked());
        QCOMPARE(bareUi.pushButton_10->styleSheet(), QString());
    }

    void images_data()
    {
        QTest::addColumn<QString>("resource");
        QTest::addColumn<QSize>("size");
        QTest::newRow("icon") << ":/talven.ico" << QSize(32, 32);
        QTest::newRow("grey") << ":/grey.jpg" << QSize(170, 170);
        QTest::newRow("yellow") << ":/yellow.jpg" << QSize(240, 150);
        QTest::newRow("white") << ":/white.jpg" << QSize(350, 233);
        QTest::newRow("blue") << ":/blue.jpg" << QSize(350, 350);
        QTest::newRow("yellow1") << ":/yellow1.jpg" << QSize(350, 280);
        QTest::newRow("red") << ":/red.jpg" << QSize(220, 220);
    }
    void images()
    {
        QFETCH(QString, resource);
        QFETCH(QSize, size);
        QImageReader reader(resource);
        QCOMPARE(reader.format(), resource.endsWith(".ico") ? QByteArray("ico") : QByteArray("jpeg"));
        const QImage image = reader.read();
        QCOMPARE(image.size(), size);
        if (resource.endsWith(".ico")) {
            // One picture only, with a 256-colour palette: the file's directory says 1 image, the
            // image's bitmap header 8 bits a pixel (Qt itself hands out every icon as 32-bit).
            QFile file(resource);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray bytes = file.readAll();
            QVERIFY(bytes.size() > 22 + 40);
            const auto word = [&](int at) {
                return quint8(bytes[at]) | quint8(bytes[at + 1]) << 8;
            };
            QCOMPARE(word(4), 1);
            const int header = word(18) | word(20) << 16;
            QVERIFY(header + 16 <= bytes.size());
            QCOMPARE(word(header + 14), 8);
            QCOMPARE(reader.imageCount(), 1);
        }
    }

    // --- The window right after construction ---

    void startTitleAndIcon()
    {
        QCOMPARE(window->windowTitle(), QString("MerivoxV1.1"));
        QVERIFY(!window->windowIcon().isNull());
        QVERIFY(window->windowIcon().availableSizes().contains(QSize(32, 32)));
    }

    void startEnabled_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("enabled");
        for (const FormObject &row : form) {
            if (!QString(row.kind).endsWith("Layout"))
                QTest::newRow(row.name) << row.name << !disabledAtStart.contains(row.name);
        }
    }
    void startEnabled()
    {
        QFETCH(QString, name);
        QFETCH(bool, enabled);
        auto *w = window->findChild<QWidget *>(name);
        QVERIFY(w);
        QCOMPARE(w->isEnabled(), enabled);
    }

    void startOpenButton()
    {
        auto *button = window->findChild<QPushButton *>("pushButton_10");
        auto *autoSend = window->findChild<QCheckBox *>("checkBox");
        QVERIFY(button && autoSend);
        QCOMPARE(button->styleSheet(), QString("background: pink"));
        QCOMPARE(button->text(), QString("打开串口"));
        QVERIFY(!autoSend->isChecked());
    }

    void startChoices_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("text");
        QTest::newRow("port") << "comboBox_5" << 0 << "COM1";
        QTest::newRow("terminal baud") << "comboBox_6" << 1 << "9600";
        QTest::newRow("module baud") << "comboBox_7" << 1 << "9600";
        QTest::newRow("module power") << "comboBox_8" << 3 << "10";
    }
    void startChoices()
    {
        QFETCH(QString, name);
        QFETCH(int, index);
        QFETCH(QString, text);
        auto *combo = window->findChild<QComboBox *>(name);
        QVERIFY(combo);
        QCOMPARE(combo->currentIndex(), index);
        QCOMPARE(combo->currentText(), text);
    }

    void validatorKinds_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("pattern");
        QTest::newRow("channel") << "lineEdit_15"
                                 << "[0-9][0-9][0-9]";
        QTest::newRow("module ID") << "lineEdit_19"
                                   << "[0-9][0-9][0-9][0-9]";
        QTest::newRow("send period") << "lineEdit_14"
                                     << "[0-9][0-9][0-9][0-9][0-9][0-9]";
    }
    void validatorKinds()
    {
        QFETCH(QString, name);
        QFETCH(QString, pattern);
        auto *edit = window->findChild<QLineEdit *>(name);
        QVERIFY(edit);
        auto *validator = qobject_cast<const QRegExpValidator *>(edit->validator());
        QVERIFY(validator);
        QCOMPARE(validator->parent(), window.get());
        QCOMPARE(validator->regExp().pattern(), pattern);
        QCOMPARE(validator->regExp().patternSyntax(), QRegExp::RegExp);
        QCOMPARE(validator->regExp().caseSensitivity(), Qt::CaseSensitive);
    }

    void validators_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("input");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("typed");
        const int invalid = QValidator::Invalid, partial = QValidator::Intermediate, ok = QValidator::Acceptable;
        QTest::newRow("channel 1 digit") << "lineEdit_15"
                                         << "1" << partial << "1";
        QTest::newRow("channel 2 digits") << "lineEdit_15"
                                          << "12" << partial << "12";
        QTest::newRow("channel 3 digits") << "lineEdit_15"
                                          << "123" << ok << "123";
        QTest::newRow("channel 4 digits") << "lineEdit_15"
                                          << "1234" << invalid << "123";
        QTest::newRow("channel letter") << "lineEdit_15"
                                        << "a" << invalid << "";
        QTest::newRow("channel minus") << "lineEdit_15"
                                       << "-1" << invalid << "1";
        QTest::newRow("channel blank") << "lineEdit_15"
                                       << " 1" << invalid << "1";
        QTest::newRow("ID 4 digits") << "lineEdit_19"
                                     << "9999" << ok << "9999";
        QTest::newRow("ID 3 digits") << "lineEdit_19"
                                     << "999" << partial << "999";
        QTest::newRow("ID 5 digits") << "lineEdit_19"
                                     << "12345" << invalid << "1234";
        QTest::newRow("ID hex") << "lineEdit_19"
                                << "1F" << invalid << "1";
        QTest::newRow("period 6 digits") << "lineEdit_14"
                                         << "999999" << ok << "999999";
        QTest::newRow("period 4 digits") << "lineEdit_14"
                                         << "1000" << partial << "1000";
        QTest::newRow("period 7 digits") << "lineEdit_14"
                                         << "1000000" << invalid << "100000";
        QTest::newRow("period decimal") << "lineEdit_14"
                                        << "1.5" << invalid << "15";
    }
    void validators()
    {
        QFETCH(QString, name);
        QFETCH(QString, input);
        QFETCH(int, state);
        QFETCH(QString, typed);
        auto *field = window->findChild<QLineEdit *>(name);
        QVERIFY(field && field->validator());
        QString text = input;
        int pos = 0;
        QCOMPARE(int(field->validator()->validate(text, pos)), state);

        // The field itself is greyed until a port opens, so type into an enabled twin that shares
        // its validator.
        QLineEdit twin;
        twin.setValidator(field->validator());
        QTest::keyClicks(&twin, input);
        QCOMPARE(twin.text(), typed);
    }

    void scrollBars_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("receive box") << "textBrowser";
        QTest::newRow("send box") << "textEdit_2";
    }
    void scrollBars()
    {
        QFETCH(QString, name);
        auto *box = window->findChild<QTextEdit *>(name);
        QVERIFY(box);
        QCOMPARE(box->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QVERIFY(box->verticalScrollBar()->isVisible());
    }

    void timers()
    {
        MainWindowTestAccess access(*window);
        QTimer *autoSend = access.autoSendTimer();
        QVERIFY(autoSend);
        QCOMPARE(autoSend->parent(), window.get());
        QVERIFY(!autoSend->isActive());

        // The receive display's update waits for data.
        QTimer *display = access.displayTimer();
        QVERIFY(display && display->isSingleShot() && !display->isActive());
        QVERIFY(display->interval() <= 50);

        // The statistics tick: the window's other timer, running from the start.
        QList<QTimer *> others = window->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
        others.removeAll(autoSend);
        others.removeAll(display);
        QCOMPARE(others.size(), 1);
        QCOMPARE(others.first()->interval(), 1000);
        QVERIFY(others.first()->isActive());
        QVERIFY(!others.first()->isSingleShot());
    }

    void contactButtonDoesNothing()
    {
        auto *contact = window->findChild<QPushButton *>("pushButton_11");
        QVERIFY(contact && contact->isEnabled());
        const QStringList before = snapshot(window.get());
        ModalCatcher catcher;
        QTest::mouseClick(contact, Qt::LeftButton);
        QApplication::processEvents();
        QCOMPARE(snapshot(window.get()), before);
        QVERIFY(catcher.boxes.isEmpty());
        QVERIFY(window->isVisible());
    }

    void twoLineCaptions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("clear send box") << "pushButton_15";
        QTest::newRow("clear receive box") << "pushButton_16";
        QTest::newRow("send") << "pushButton_17";
    }
    void twoLineCaptions()
    {
        QFETCH(QString, name);
        auto *button = window->findChild<QPushButton *>(name);
        QVERIFY(button);
        QCOMPARE(button->text().count('\n'), 1);
        // Laid out as two lines: taller than the same caption on one line.
        QPushButton oneLine(button->text().replace('\n', ' '));
        oneLine.setStyleSheet(button->styleSheet());
        QVERIFY(button->sizeHint().height() > oneLine.sizeHint().height());
    }
};

QTEST_MAIN(TestForm)
#include "tst_form.moc"
