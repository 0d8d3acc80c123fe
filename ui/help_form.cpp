#include "ui/help_form.h"

#include "ui/caption_label.h"
#include "ui/qt_text.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>

namespace pelvoran {

namespace {

QFont simSun(double points) {
    QFont f(u"宋体"_s);
    f.setPointSizeF(points);
    f.setWeight(QFont::Normal);
    return f;
}

void centreOnScreen(QWidget* w) {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        w->move(screen->availableGeometry().center() - w->rect().center());
}

} // namespace

const Text& HelpForm::helpText() {
    static const Text text = Text(u"编号为2位字母加3-4位数字或8/10位的数字") + kLineBreak +
                             u"格式为 UE0945 或 6831234567 之类" + kLineBreak +
                             u"镜头编号一般印在卡口处" + kLineBreak +
                             u"本软件所提供信息仅做为参考。另因CANON公司编号规则未公开，"
                             u"并不能保证数据信息的100%准确性。" +
                             kLineBreak + u"如您有何建议或了解其它编号格式的相关信息" + kLineBreak +
                             u"请点击主界面留言按钮发送给我们 ，非常感谢 ^_^";
    return text;
}

HelpForm::HelpForm()
    : QFrame(nullptr, Qt::Window | Qt::FramelessWindowHint), Label1(new CaptionLabel(this)),
      Picture1(new QLabel(this)), Command1(new QPushButton(u"确定"_s, this)) {
    setObjectName(u"HelpForm"_s);
    setWindowTitle(QString());
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setFixedSize(px(6075), px(5820));
    QFont windowFont(u"新宋体"_s);
    windowFont.setPointSizeF(9.75);
    setFont(windowFont);

    Label1->setObjectName(u"Label1"_s);
    Label1->setGeometry(px(480), px(240), px(5295), px(1935));
    Label1->setFont(simSun(10.5));
    Label1->setCaption(u"Label1");

    Picture1->setObjectName(u"Picture1"_s);
    Picture1->setGeometry(px(480), px(2160), px(5295), px(2895));
    Picture1->setFont(simSun(9));
    Picture1->setAlignment(Qt::AlignLeft | Qt::AlignTop); // natural size, clipped by the box
    Picture1->setScaledContents(false);

    Command1->setObjectName(u"Command1"_s);
    Command1->setGeometry(px(2400), px(5280), px(1215), px(375));
    Command1->setFont(simSun(9));
    Command1->setAutoDefault(false);
    connect(Command1, &QPushButton::clicked, this, &HelpForm::Command1_Click);
}

void HelpForm::Form_Load() {
    ++loads_;
    Label1->setCaption(helpText());
    Picture1->setPixmap(QPixmap(u":/pelvoran/bitmap100.bmp"_s, "BMP"));
}

void HelpForm::showLoaded() {
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    Form_Load();
    centreOnScreen(this);
    show();
    raise();
    activateWindow();
}

void HelpForm::Command1_Click() {
    close();
}

void HelpForm::closeEvent(QCloseEvent* event) {
    // Unloading discards the contents; the next showing loads them afresh.
    Label1->setCaption(u"Label1");
    Picture1->clear();
    event->accept();
}

} // namespace pelvoran
