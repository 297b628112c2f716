#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QFontMetrics>
#include <QFont>
#include <QLabel>
#include <QVariant>

namespace {

// The smallest face a count is stepped down to; below it a long count is cut rather than drawn in
// dots. Ten digits still fit at this size in every counter's free space.
constexpr int kSmallestPointSize = 4;

// Where a counter may grow: the free space to its right, up to the next widget on its row or the
// window's edge. Worked out once from the form and kept on the label with its form geometry and
// style sheet, so a short value goes back to looking exactly as the form says.
struct FigureRoom {
    QRect formGeometry;
    QString formStyleSheet;
    QFont formFont;
    int widest = 0;
};

FigureRoom figureRoom(QLabel *label)
{
    static const char key[] = "talvenFigureRoom";
    const QVariant stored = label->property(key);
    if (stored.isValid()) {
        const QVariantList v = stored.toList();
        return {v.at(0).toRect(), v.at(1).toString(), v.at(2).value<QFont>(), v.at(3).toInt()};
    }
    label->ensurePolished();
    FigureRoom room{label->geometry(), label->styleSheet(), label->font(), 0};
    QWidget *parent = label->parentWidget();
    int right = parent ? parent->width() : label->geometry().right() + 1;
    if (parent) {
        for (QObject *child : parent->children()) {
            auto *widget = qobject_cast<QWidget *>(child);
            if (!widget || widget == label)
                continue;
            const QRect g = widget->geometry();
            const bool sameRow = g.top() < room.formGeometry.bottom() && g.bottom() > room.formGeometry.top();
            if (sameRow && g.left() >= room.formGeometry.right())
                right = qMin(right, g.left());
        }
    }
    room.widest = right - room.formGeometry.left();
    label->setProperty(key, QVariantList{room.formGeometry, room.formStyleSheet, room.formFont, room.widest});
    return room;
}

int textWidth(const QLabel *label, const QFont &font, const QString &text)
{
    return QFontMetrics(font).horizontalAdvance(text) + 2 * label->margin();
}

} // namespace

// The rate is read back from the labels, so it always agrees with the figures on screen.
void MainWindow::timeFunction1()
{
    flushReceiveDisplay();
    if (ui->label_46->text() == QLatin1String("0"))
        return;
    const double sends = ui->label_46->text().toDouble();
    const double matches = ui->label_32->text().toDouble();
    const double rate = (sends - matches) / sends * 100;
    showFigure(ui->label_45, QString("%1%").arg(rate, 0, 'f', 2));
}

void MainWindow::on_pushButton_24_clicked()
{
    sentBytes = 0;
    receivedBytes = 0;
    sendCount = 0;
    matchCount = 0;
    countersPending = false;
    showFigure(ui->label_22, "0");
    showFigure(ui->label_26, "0");
    showFigure(ui->label_45, QString());
    showFigure(ui->label_32, "0");
    showFigure(ui->label_46, "0");
}

// The counter labels are a few digits wide; a link test that runs for hours outgrows them, and a
// label cuts what does not fit, so the screen would show a wrong number. A figure that does not fit
// widens its label into the free space beside it, and only when that is not enough is drawn a
// point size smaller at a time. Measured with the label's real face, whatever the fallback is.
void MainWindow::showFigure(QLabel *label, const QString &text)
{
    // The same figure is already drawn to fit (the match count between matches, 25 times a second).
    if (label->text() == text)
        return;
    const FigureRoom room = figureRoom(label);
    label->setText(text);
    QFont font = room.formFont;
    int width = textWidth(label, font, text);
    if (width <= room.formGeometry.width()) {
        if (label->styleSheet() != room.formStyleSheet)
            label->setStyleSheet(room.formStyleSheet);
        if (label->geometry() != room.formGeometry)
            label->setGeometry(room.formGeometry);
        return;
    }
    QString styleSheet = room.formStyleSheet;
    for (int size = font.pointSize() - 1; width > room.widest && size >= kSmallestPointSize; --size) {
        font.setPointSize(size);
        width = textWidth(label, font, text);
        // The form sets the face with a style sheet, which overrides setFont(): the size goes there.
        styleSheet = QString("%1 font-size: %2pt;").arg(room.formStyleSheet).arg(size);
    }
    if (label->styleSheet() != styleSheet)
        label->setStyleSheet(styleSheet);
    const QRect wide(room.formGeometry.topLeft(), QSize(qMin(width, room.widest), room.formGeometry.height()));
    if (label->geometry() != wide)
        label->setGeometry(wide);
}
