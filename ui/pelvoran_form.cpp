#include "ui/pelvoran_form.h"

#include "forms/form_texts.h"
#include "ui/answer_form.h"
#include "ui/caption_label.h"
#include "ui/comment_form.h"
#include "ui/help_form.h"
#include "ui/push_button.h"
#include "ui/qt_text.h"
#include "ui/single_line.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace pelvoran {

using present::Control;

PelvoranForm::PelvoranForm(Services services)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
      ProdSNText(new LineBox(this)), Label1(new CaptionLabel(this)),
      Command1(new PushButton(u"Command1"_s, toQString(form_text::kQueryButton), this)),
      Command2(new PushButton(u"Command2"_s, toQString(form_text::kHelpButton), this)),
      Label2(new CaptionLabel(this)),
      Command3(new PushButton(u"Command3"_s, toQString(form_text::kCommentButton), this)),
      view_(*this, {{Control::ProdSNText, ProdSNText}, {Control::Label2, Label2}}),
      presenter_(view_, std::move(services), allMakers(), [] { QCoreApplication::quit(); }) {
    setObjectName(u"PelvoranForm"_s);
    setFixedSize(toSize(layout::main_window::kClient));

    ProdSNText->setObjectName(u"ProdSNText"_s);
    ProdSNText->setGeometry(toRect(layout::main_window::kProdSNText));
    ProdSNText->setMaxLength(layout::main_window::kCodeMaxLength);
    ProdSNText->setValidator(new EditForwarder(
        [this](const Text& after, std::size_t cursor) {
            return presenter_.ProdSNText_Edit(after, cursor);
        },
        ProdSNText));
    ProdSNText->setAccessibleName(toQString(form_text::kCodeLabel));
    ProdSNText->installEventFilter(this);

    Label1->setObjectName(u"Label1"_s);
    Label1->setGeometry(toRect(layout::main_window::kLabel1));
    Label1->setCaption(form_text::kCodeLabel);
    Label1->setBuddy(ProdSNText);

    Command1->setGeometry(toRect(layout::main_window::kCommand1));
    Command2->setGeometry(toRect(layout::main_window::kCommand2));
    Label2->setObjectName(u"Label2"_s);
    Label2->setGeometry(toRect(layout::main_window::kLabel2));
    Label2->makeAnnouncer();
    Command3->setGeometry(toRect(layout::main_window::kCommand3));

    setTabOrder(ProdSNText, Command1);
    setTabOrder(Command1, Command2);
    setTabOrder(Command2, Command3);

    auto& p = presenter_;
    connect(Command1, &QPushButton::clicked, this, [&p] { p.Command1_Click(); });
    connect(Command2, &QPushButton::clicked, this, [&p] { p.Command2_Click(); });
    connect(Command3, &QPushButton::clicked, this, [&p] { p.Command3_Click(); });
    connect(ProdSNText, &QLineEdit::textChanged, this, [&p] { p.ProdSNText_Change(); });
}

present::WindowMakers PelvoranForm::allMakers() {
    present::WindowMakers m = makers();
    m.answer = [this](present::OpenWindows& windows) {
        auto form = std::make_shared<AnswerForm>(windows);
        answer_ = form.get();
        return std::shared_ptr<present::AnswerPresenter>(form, &form->presenter());
    };
    m.whenNoBoxOpen = [this](std::function<void()> run) {
        // The message boxes are modal: while one is open, look again shortly.
        auto* poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [poll, run] {
            if (QApplication::activeModalWidget() != nullptr)
                return;
            poll->stop();
            poll->deleteLater();
            run();
        });
        poll->start(50);
    };
    return m;
}

PelvoranForm::~PelvoranForm() {
    // The widgets outlive the presenter for a moment: nothing may reach it then.
    ProdSNText->setValidator(nullptr);
    ProdSNText->removeEventFilter(this);
    disconnect(ProdSNText, nullptr, this, nullptr);
    hide();
}

bool PelvoranForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ProdSNText && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        namespace k = present::key;
        // Enter and the keypad's Enter are both Enter.
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        const int code = enter ? k::kEnter : 0;
        const Qt::KeyboardModifiers m = key->modifiers();
        const int shift = (m & Qt::ShiftModifier ? k::kShift : 0) |
                          (m & Qt::ControlModifier ? k::kCtrl : 0) |
                          (m & Qt::AltModifier ? k::kAlt : 0);
        presenter_.ProdSNText_KeyDown(code, shift);
    }
    return QWidget::eventFilter(watched, event); // the key goes on to the box as usual
}

void PelvoranForm::closeEvent(QCloseEvent* event) {
    presenter_.closed();
    event->accept();
}

} // namespace pelvoran
