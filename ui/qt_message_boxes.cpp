#include "ui/qt_message_boxes.h"

#include "forms/form_rules.h"
#include "forms/form_texts.h"
#include "ui/qt_text.h"
#include "ui/screen.h"

#include <QGuiApplication>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include <algorithm>

namespace pelvoran {

namespace {

/// A message box that never grows taller than the screen's available area:
/// a message too long for it loses text before its last line, which ends
/// with "…" where cut.
class FittingMessageBox final : public QMessageBox {
public:
    explicit FittingMessageBox(Text message) : message_(std::move(message)) {
        setTextFormat(Qt::PlainText); // never read server text as markup
        setText(forDisplay(message_));
    }

protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event); // sizes the box to its text
        // The screen every window of the tool is centred on.
        const QScreen* screen = QGuiApplication::primaryScreen();
        if (screen == nullptr)
            return;
        // Room for the frame, which the window manager may not have drawn yet.
        const QStyle* s = style();
        const int border = 2 * s->pixelMetric(QStyle::PM_DefaultFrameWidth);
        const QSize frame(std::max(frameGeometry().width() - width(), border),
                          std::max(frameGeometry().height() - height(),
                                   s->pixelMetric(QStyle::PM_TitleBarHeight) + border));
        room_ = screen->availableGeometry().size() - frame;
        // Each try lays the box out anew: the one kept is laid out last.
        fit(form_rule::fitMessage(message_, [this](const Text& text) { return fit(text); }));
        centreOnScreen(this);
    }

private:
    /// Shows the text, no wider than the room, and tells whether the box is
    /// no taller than the room.
    bool fit(const Text& text) {
        setText(forDisplay(text)); // the box takes the width it likes
        if (width() > room_.width()) {
            const QLayout* grid = layout();
            const int w = room_.width();
            setFixedSize(w, grid->hasHeightForWidth() ? grid->totalHeightForWidth(w)
                                                      : grid->totalMinimumSize().height());
        }
        return height() <= room_.height();
    }

    Text message_;
    /// The largest size the box may take.
    QSize room_;
};

} // namespace

MessageAnswer QtMessageBoxes::show(const Text& message, const Text& title, MessageButtons buttons) {
    FittingMessageBox box(message);
    box.setObjectName(u"MessageBox"_s);
    box.setWindowTitle(toQString(title));
    box.setIcon(QMessageBox::NoIcon);
    if (buttons == MessageButtons::OkCancel) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setEscapeButton(QMessageBox::Cancel);
        // Written out, so that they read Chinese without Qt's translation too.
        box.button(QMessageBox::Cancel)->setText(toQString(form_text::kCancel));
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
    box.button(QMessageBox::Ok)->setText(toQString(form_text::kOk));
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok ? MessageAnswer::Ok : MessageAnswer::Cancel;
}

} // namespace pelvoran
