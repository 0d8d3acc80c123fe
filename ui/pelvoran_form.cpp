#include "ui/pelvoran_form.h"

#include "forms/form_texts.h"
#include "ui/caption_label.h"
#include "ui/comment_form.h"
#include "ui/help_form.h"
#include "ui/push_button.h"
#include "ui/qt_text.h"
#include "ui/screen.h"
#include "ui/single_line.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace pelvoran {

PelvoranForm::PelvoranForm(Services services)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
      ProdSNText(new QLineEdit(this)), Label1(new QLabel(toQString(form_text::kCodeLabel), this)),
      Command1(new PushButton(u"Command1"_s, toQString(form_text::kQueryButton), this)),
      Command2(new PushButton(u"Command2"_s, toQString(form_text::kHelpButton), this)),
      Label2(new CaptionLabel(this)),
      Command3(new PushButton(u"Command3"_s, toQString(form_text::kCommentButton), this)),
      services_(std::move(services)), query_(services_.regional), update_(services_) {
    setObjectName(u"PelvoranForm"_s);
    setFixedSize(toSize(layout::main_window::kClient));

    ProdSNText->setObjectName(u"ProdSNText"_s);
    ProdSNText->setGeometry(toRect(layout::main_window::kProdSNText));
    ProdSNText->setMaxLength(layout::main_window::kCodeMaxLength);
    ProdSNText->setValidator(new FirstLineOnly(ProdSNText));
    ProdSNText->setAccessibleName(toQString(form_text::kCodeLabel));
    ProdSNText->installEventFilter(this);

    Label1->setObjectName(u"Label1"_s);
    Label1->setGeometry(toRect(layout::main_window::kLabel1));
    Label1->setTextFormat(Qt::PlainText);
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1->setBuddy(ProdSNText);

    Command1->setGeometry(toRect(layout::main_window::kCommand1));
    Command2->setGeometry(toRect(layout::main_window::kCommand2));
    Label2->setObjectName(u"Label2"_s);
    Label2->setGeometry(toRect(layout::main_window::kLabel2));
    Command3->setGeometry(toRect(layout::main_window::kCommand3));

    setTabOrder(ProdSNText, Command1);
    setTabOrder(Command1, Command2);
    setTabOrder(Command2, Command3);

    connect(Command1, &QPushButton::clicked, this, &PelvoranForm::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &PelvoranForm::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &PelvoranForm::Command3_Click);
    connect(ProdSNText, &QLineEdit::textChanged, this, &PelvoranForm::ProdSNText_Change);
}

PelvoranForm::~PelvoranForm() = default;

void PelvoranForm::Form_Load() {
    setWindowTitle(toQString(form_text::mainCaption(services_.regional)));
    Label2->setCaption(form_text::kStartNotice);
    update_.CheckUpdate();
}

void PelvoranForm::showCentred() {
    centreOnScreen(this);
    show();
    activateWindow();
    ProdSNText->setFocus();
}

void PelvoranForm::Command1_Click() {
    Label2->setCaption(query_.Command1_Click(toText(ProdSNText->text())));
}

void PelvoranForm::Command2_Click() {
    if (!help_)
        help_ = std::make_unique<HelpForm>();
    help_->showLoaded();
}

void PelvoranForm::Command3_Click() {
    if (!comment_)
        comment_ = std::make_unique<CommentForm>(services_);
    comment_->showLoaded();
}

void PelvoranForm::ProdSNText_Change() {
    Label2->setCaption(Text());
}

void PelvoranForm::ProdSNText_KeyDown(int KeyCode, int /*Shift*/) {
    if (KeyCode == 13)
        Command1_Click();
}

bool PelvoranForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ProdSNText && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        // Enter and the keypad's Enter are key code 13, whatever the shift state.
        const int code = (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) ? 13 : 0;
        const Qt::KeyboardModifiers m = key->modifiers();
        const int shift = (m & Qt::ShiftModifier ? 1 : 0) | (m & Qt::ControlModifier ? 2 : 0) |
                          (m & Qt::AltModifier ? 4 : 0);
        ProdSNText_KeyDown(code, shift);
    }
    return QWidget::eventFilter(watched, event); // the key goes on to the box as usual
}

} // namespace pelvoran
