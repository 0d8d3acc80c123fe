#include "ui/help_form.h"

#include "forms/form_texts.h"
#include "ui/caption_label.h"
#include "ui/push_button.h"
#include "ui/qt_text.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QMouseEvent>
#include <QWindow>

namespace pelvoran {

namespace {

QFont simSun(double points) {
    QFont f(u"宋体"_s);
    f.setPointSizeF(points);
    f.setWeight(QFont::Normal);
    return f;
}

QAccessibleInterface* helpFormAccessible(const QString& className, QObject* object) {
    // A dialog, so that screen readers read the help text with its name
    // when it opens, besides the focused OK button.
    if (className == u"pelvoran::HelpForm"_s && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Dialog);
    return nullptr;
}

} // namespace

HelpForm::HelpForm(present::OpenWindows& windows)
    : QFrame(nullptr, Qt::Window | Qt::FramelessWindowHint), Label1(new CaptionLabel(this)),
      Picture1(new QLabel(this)),
      Command1(new PushButton(u"Command1"_s, toQString(form_text::kOk), this)),
      view_(*this, {{present::Control::Label1, Label1, toQString(form_text::kHelpLabelUnloaded)},
                    {present::Control::Picture1, Picture1},
                    {present::Control::Command1, Command1}}),
      presenter_(view_, windows), systemMove_([this] {
          return windowHandle() != nullptr && windowHandle()->startSystemMove();
      }) {
    QAccessible::installFactory(helpFormAccessible); // Qt keeps one of each
    setObjectName(u"HelpForm"_s);
    setWindowTitle(QString());
    setAccessibleName(toQString(form_text::kHelpButton));
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setFixedSize(toSize(layout::help_window::kClient));
    QFont windowFont(u"新宋体"_s);
    windowFont.setPointSizeF(layout::help_window::kWindowFontPoints);
    setFont(windowFont);

    Label1->setObjectName(u"Label1"_s);
    Label1->setGeometry(toRect(layout::help_window::kLabel1));
    Label1->setFont(simSun(layout::help_window::kLabelFontPoints));
    Label1->setCaption(form_text::kHelpLabelUnloaded);

    Picture1->setObjectName(u"Picture1"_s);
    Picture1->setGeometry(toRect(layout::help_window::kPicture1));
    Picture1->setFont(simSun(layout::help_window::kControlFontPoints));
    Picture1->setAlignment(Qt::AlignLeft | Qt::AlignTop); // natural size, clipped by the box
    Picture1->setScaledContents(false);
    Picture1->setAccessibleName(toQString(form_text::kPictureName));
    Picture1->setAccessibleDescription(toQString(form_text::kPictureDescription));

    Command1->setGeometry(toRect(layout::help_window::kCommand1));
    Command1->setFont(simSun(layout::help_window::kControlFontPoints));
    connect(Command1, &QPushButton::clicked, this, [this] { presenter_.Command1_Click(); });
}

void HelpForm::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QFrame::mousePressEvent(event);
        return;
    }
    event->accept();
    pressedAt_ = event->globalPosition().toPoint();
    grip_.reset();
}

void HelpForm::mouseMoveEvent(QMouseEvent* event) {
    if (!pressedAt_ || !(event->buttons() & Qt::LeftButton)) {
        QFrame::mouseMoveEvent(event);
        return;
    }
    event->accept();
    const QPoint at = event->globalPosition().toPoint();
    if (!grip_) {
        if ((at - *pressedAt_).manhattanLength() < QApplication::startDragDistance())
            return;
        // The window manager moves the window where it can (X11, Wayland)
        // and ends the move when the button is let go.
        if (systemMove_ && systemMove_()) {
            pressedAt_.reset();
            return;
        }
        grip_ = *pressedAt_ - frameGeometry().topLeft();
    }
    move(at - *grip_);
}

void HelpForm::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressedAt_.reset();
        grip_.reset();
    }
    QFrame::mouseReleaseEvent(event);
}

void HelpForm::closeEvent(QCloseEvent* event) {
    pressedAt_.reset();
    grip_.reset();
    view_.unload(); // the next showing loads the contents afresh
    presenter_.closed();
    event->accept();
}

} // namespace pelvoran
