#pragma once
// The wizard's common look: twips-based placement, the Tahoma-like fonts, the
// white header and footer bands, the blue " [ ? ]" help links and the icons.
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QWidget>

namespace wizard {

// 15 twips make one pixel.
int Tw(int twips);
// Places `w` at a rectangle given in twips, relative to its parent.
void Place(QWidget* w, int left, int top, int width, int height);

// Tahoma where installed, otherwise the closest sans-serif the system has.
QFont UiFont(double points, bool bold = false);
// Verdana where installed, otherwise a wide sans-serif.
QFont VerdanaFont(double points, bool bold = false);

// Sets the text colour (and optionally the background) of a widget.
void SetColours(QWidget* w, const QColor& text, const QColor& background = QColor());

// A filled rectangle with a one-pixel border (the header and footer bands, the hint panel).
class Band : public QWidget {
public:
    Band(QWidget* parent, const QColor& fill, const QColor& border);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_;
    QColor border_;
};

// A label that acts as a link: hand pointer, tool tip, and a clicked() signal.
class HelpLink : public QLabel {
    Q_OBJECT
public:
    HelpLink(const QString& text, QWidget* parent);

Q_SIGNALS:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// Gives a group box the classic frame: a thin grey border whose top line runs
// through the middle of the caption; children keep their places relative to
// the box's top-left corner.
void ClassicFrame(QWidget* groupBox);

// Shows a window and brings it to the front.
void BringToFront(QWidget* window);

// Creates a plain label with the given text and font, placed in twips.
QLabel* MakeLabel(QWidget* parent, const QString& text, const QFont& font, int left, int top, int width, int height,
                  bool wrap = false);

QIcon AppIcon();
QPixmap HintPixmap();     // the light bulb of the hint panel
QPixmap WarningPixmap();  // beside the delete-source check box
QIcon UserIcon();         // list row icon
QIcon FolderIcon();       // list sub-item icon

}  // namespace wizard
