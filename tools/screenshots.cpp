// Takes the README's screenshots from the real windows: the update offer, the
// main window with an answer, the help window, the comment window, the thanks
// box with the number the server gave the comment, and the publisher's answer
// to it.
//   pelvoran_screenshots <output-dir>
// Window managers draw the title bar; this draws a plain one so that the
// captions show.
#include "net/answer_keys.h"
#include "net/http_acquisition.h"
#include "platform/answer_key_file.h"
#include "platform/curl/curl_http_request.h"
#include "tests/support/loopback_server.h"
#include "ui/answer_form.h"
#include "ui/comment_form.h"
#include "ui/fonts.h"
#include "ui/help_form.h"
#include "ui/pelvoran_form.h"
#include "ui/qt_message_boxes.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>

using namespace pelvoran;
using namespace Qt::StringLiterals;

namespace {

/// The one conversation the pictures show, as the server's pictures have it
/// (tests/browser/screenshots.py): the comment and the publisher's answer.
const pelvoran::Text kQuestion =
    u"EF 100mm f/2.8 USM 的编号是 5012345，没有日期码，请问怎么查生产年份？";
const pelvoran::Text kAnswer =
    u"您好！这个镜头卡口上的编号不含日期。请看镜头尾部靠近卡口的红色或白色小字，"
    u"形如 UR1234 的就是日期码，填进查询框即可。";

class NoShell final : public Shell {
public:
    bool openUrl(const std::string&) override { return false; }
    void exitNow() override {}
};

void save(QWidget* w, const QString& title, const QString& path) {
    const QPixmap content = w->grab();
    const int bar = title.isNull() ? 0 : 26;
    QPixmap shot(content.width() + 2, content.height() + bar + 2);
    shot.fill(QColor(0x5a, 0x6f, 0x8e));
    QPainter p(&shot);
    if (bar > 0) {
        QApplication::windowIcon().paint(&p, QRect(6, 5, 16, 16));
        p.setPen(Qt::white);
        QFont f = QApplication::font();
        f.setBold(true);
        p.setFont(f);
        p.drawText(QRect(28, 0, shot.width() - 50, bar), Qt::AlignVCenter, title);
        p.drawText(QRect(shot.width() - 22, 0, 16, bar), Qt::AlignCenter, u"✕"_s);
    }
    p.drawPixmap(1, bar + 1, content);
    p.end();
    if (!shot.save(path))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    else
        std::printf("%s\n", qPrintable(path));
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: pelvoran_screenshots <output-dir>\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    QIcon icon(u":/pelvoran/pelvoran.ico"_s);
    QApplication::setWindowIcon(icon);
    installChineseFontSubstitutes();
    useChineseDefaultFont();

    test::LoopbackServer server(
        {test::ServerBehaviour::Mode::Reply,
         test::LoopbackServer::reply(200, "1.06[;]http://127.0.0.1/Pelvoran-1.06.exe[;]2026-12-07"
                                          "[;]%u65B0%u589E%u955C%u5934%u7F16%u53F7%u683C%u5F0F")});
    const auto registry = registryForAllClassNames(curlHttpRequestFactory());
    QtMessageBoxes boxes;
    NoShell shell;
    // The comment's reply key is kept in a folder of this run's, never the
    // user's.
    const QTemporaryDir keys;
    const std::unique_ptr<AnswerKeyFile> answerKeys =
        keys.isValid() ? answerKeyFileIn(keys.path().toStdString()) : nullptr;
    if (!answerKeys) {
        std::fprintf(stderr, "cannot make a folder for the answer keys\n");
        return 1;
    }
    const Services services{registry,
                            boxes,
                            shell,
                            [] { return LocalDateTime{2026, 12, 7, 9, 30, 0}; },
                            RegionalSettings::zhCN(),
                            u16(server.base()),
                            {},
                            answerKeys.get()};

    // The next message box: its picture, and the button that closes it.
    QString boxShot = out + u"/update-offer.png"_s;
    QMessageBox::StandardButton closeWith = QMessageBox::Cancel;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            poll.stop();
            save(box, box->windowTitle(), boxShot);
            box->button(closeWith)->click();
        }
    });
    poll.start(20);

    PelvoranForm form(services);
    form.Form_Load();
    form.showCentred();
    QApplication::processEvents();
    save(&form, form.windowTitle(), out + u"/main-start.png"_s);
    form.ProdSNText->setText(u"UE0945"_s);
    form.Command1->click();
    QApplication::processEvents();
    save(&form, form.windowTitle(), out + u"/main-window.png"_s);

    form.Command2->click();
    QApplication::processEvents();
    save(form.helpForm(), QString(), out + u"/help-window.png"_s);
    form.helpForm()->close();

    form.Command3->click();
    form.commentForm()->CommentText->setPlainText(QString::fromStdU16String(kQuestion));
    QApplication::processEvents();
    save(form.commentForm(), form.commentForm()->windowTitle(), out + u"/comment-window.png"_s);

    // Sent, and numbered by the server: the thanks box says the number.
    server.setBehaviour({test::ServerBehaviour::Mode::Reply,
                         test::LoopbackServer::reply(200, "OK", "text/plain; charset=utf-8",
                                                     "Pelvoran-Comment-Number: 7\r\n")});
    boxShot = out + u"/comment-thanks-number.png"_s;
    closeWith = QMessageBox::Ok;
    poll.start(20);
    form.commentForm()->Command1->click(); // returns once the box is closed

    // The publisher's answer, as a later start fetches it.
    FetchedAnswer answer;
    answer.record.number = "7";
    answer.record.comment = kQuestion;
    answer.text = kAnswer;
    form.answersArrived({answer});
    for (int i = 0; i < 500 && (form.answerForm() == nullptr || !form.answerForm()->isVisible());
         ++i) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
    if (form.answerForm() == nullptr || !form.answerForm()->isVisible()) {
        std::fprintf(stderr, "the answer window did not show\n");
        return 1;
    }
    save(form.answerForm(), form.answerForm()->windowTitle(), out + u"/answer-window.png"_s);
    return 0;
}
