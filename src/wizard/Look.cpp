#include "wizard/Look.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QStringList>
#include <cmath>

namespace wizard {

int Tw(int twips) { return static_cast<int>(std::lround(twips / 15.0)); }

void Place(QWidget* w, int left, int top, int width, int height) {
    // Right and bottom edges are rounded on their own so that neighbours meet exactly.
    const int x = Tw(left), y = Tw(top);
    w->setGeometry(x, y, Tw(left + width) - x, Tw(top + height) - y);
}

namespace {

QString FirstInstalled(const QStringList& wanted) {
    const QStringList installed = QFontDatabase::families();
    for (const QString& family : wanted) {
        if (installed.contains(family, Qt::CaseInsensitive)) return family;
    }
    return QString();
}

QFont MakeFont(const QStringList& wanted, const QString& condensedOf, double points, bool bold) {
    QFont font;
    const QString family = FirstInstalled(wanted);
    if (!family.isEmpty()) {
        font.setFamilies({family});
    } else if (!condensedOf.isEmpty() && !FirstInstalled({condensedOf}).isEmpty()) {
        // Fontconfig often lists the condensed face under its main family only.
        font.setFamilies({condensedOf});
        font.setStretch(QFont::SemiCondensed);
    } else {
        font.setStyleHint(QFont::SansSerif);
    }
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

}  // namespace

QFont UiFont(double points, bool bold) {
    // DejaVu Sans Condensed has nearly Tahoma's widths; Liberation Sans and Arial are close too.
    static const QStringList wanted = {QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans Condensed"),
                                       QStringLiteral("Liberation Sans"), QStringLiteral("Arial")};
    return MakeFont(wanted, QStringLiteral("DejaVu Sans"), points, bold);
}

QFont VerdanaFont(double points, bool bold) {
    static const QStringList wanted = {QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans"),
                                       QStringLiteral("Liberation Sans"), QStringLiteral("Arial")};
    return MakeFont(wanted, QString(), points, bold);
}

void SetColours(QWidget* w, const QColor& text, const QColor& background) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::WindowText, text);
    pal.setColor(QPalette::ButtonText, text);
    pal.setColor(QPalette::Text, text);
    if (background.isValid()) {
        pal.setColor(QPalette::Window, background);
        w->setAutoFillBackground(true);
    }
    w->setPalette(pal);
}

Band::Band(QWidget* parent, const QColor& fill, const QColor& border)
    : QWidget(parent), fill_(fill), border_(border) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Band::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), fill_);
    p.setPen(border_);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

HelpLink::HelpLink(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setCursor(Qt::PointingHandCursor);
    setToolTip(QStringLiteral("What's This - Click to Know More"));
    SetColours(this, QColor(0, 0, 255));
}

void HelpLink::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Q_EMIT clicked();
    QLabel::mouseReleaseEvent(event);
}

void BringToFront(QWidget* window) {
    window->show();
    // The offscreen platform (tests, screenshots) has no stacking to change.
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) return;
    window->raise();
    window->activateWindow();
}

void ClassicFrame(QWidget* groupBox) {
    const int half = groupBox->fontMetrics().height() / 2;
    groupBox->setStyleSheet(QStringLiteral("QGroupBox { border: 1px solid rgb(192,192,192); border-radius: 0px;"
                                           " margin-top: %1px; padding: 0px; }"
                                           "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
                                           " left: 6px; top: 0px; padding: 0px; }")
                                .arg(half));
}

QLabel* MakeLabel(QWidget* parent, const QString& text, const QFont& font, int left, int top, int width, int height,
                  bool wrap) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setWordWrap(wrap);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    Place(label, left, top, width, height);
    return label;
}

namespace {

QPixmap Canvas(int size = 16) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    return pm;
}

}  // namespace

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pm = Canvas(size);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        const double s = size / 16.0;
        // An envelope turning into a data file: red envelope, blue drum.
        p.setPen(QPen(QColor(128, 0, 0), s));
        p.setBrush(QColor(255, 250, 235));
        p.drawRect(QRectF(0.5 * s, 2.5 * s, 10 * s, 7 * s));
        p.drawPolyline(QPolygonF({QPointF(0.5 * s, 2.5 * s), QPointF(5.5 * s, 6.5 * s), QPointF(10.5 * s, 2.5 * s)}));
        p.setPen(QPen(QColor(0, 60, 140), s));
        p.setBrush(QColor(40, 110, 200));
        p.drawRoundedRect(QRectF(8.5 * s, 8.5 * s, 7 * s, 7 * s), 1.5 * s, 1.5 * s);
        p.setPen(QPen(Qt::white, s));
        p.drawLine(QPointF(10 * s, 11 * s), QPointF(14 * s, 11 * s));
        p.drawLine(QPointF(10 * s, 13 * s), QPointF(14 * s, 13 * s));
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

QPixmap HintPixmap() {
    QPixmap pm = Canvas();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(160, 120, 0), 1));
    p.setBrush(QColor(255, 220, 60));
    p.drawEllipse(QRectF(3.5, 0.5, 9, 9));
    p.setBrush(QColor(150, 150, 150));
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.drawRect(QRectF(5.5, 10.5, 5, 4));
    p.drawLine(QPointF(6, 12.5), QPointF(10, 12.5));
    return pm;
}

QPixmap WarningPixmap() {
    QPixmap pm = Canvas();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath triangle;
    triangle.moveTo(8, 1);
    triangle.lineTo(15.5, 14.5);
    triangle.lineTo(0.5, 14.5);
    triangle.closeSubpath();
    p.setPen(QPen(QColor(128, 0, 0), 1));
    p.setBrush(QColor(255, 200, 0));
    p.drawPath(triangle);
    p.setPen(QPen(Qt::black, 2));
    p.drawLine(QPointF(8, 5), QPointF(8, 10));
    p.drawPoint(QPointF(8, 12.5));
    return pm;
}

QIcon UserIcon() {
    QPixmap pm = Canvas();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 80, 140), 1));
    p.setBrush(QColor(110, 160, 220));
    p.drawEllipse(QRectF(4.5, 0.5, 7, 7));
    p.drawRoundedRect(QRectF(1.5, 8.5, 13, 7), 3, 3);
    return QIcon(pm);
}

QIcon FolderIcon() {
    QPixmap pm = Canvas();
    QPainter p(&pm);
    p.setPen(QPen(QColor(170, 120, 20), 1));
    p.setBrush(QColor(250, 210, 90));
    p.drawRect(QRectF(0.5, 4.5, 15, 10));
    p.drawRect(QRectF(0.5, 2.5, 6, 2));
    return QIcon(pm);
}

}  // namespace wizard
