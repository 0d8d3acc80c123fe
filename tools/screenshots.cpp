// Takes the README's screenshots from the real windows: the update offer, the
// main window with an answer, the help window and the comment window.
//   pelvoran_screenshots <output-dir>
// Window managers draw the title bar; this draws a plain one so that the
// captions show.
#include "net/http_acquisition.h"
#include "platform/curl/curl_http_request.h"
#include "tests/support/loopback_server.h"
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
#include <QTimer>

#include <cstdio>

using namespace pelvoran;
using namespace Qt::StringLiterals;

namespace {

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
    const Services services{registry,
                            boxes,
                            shell,
                            [] { return LocalDateTime{2026, 12, 7, 9, 30, 0}; },
                            RegionalSettings::zhCN(),
                            u16(server.base())};

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            poll.stop();
            save(box, box->windowTitle(), out + u"/update-offer.png"_s);
            box->button(QMessageBox::Cancel)->click();
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
    form.commentForm()->CommentText->setPlainText(
        u"EF 50mm f/1.8 II，卡口编号 UE0945，2010年3月购买。"_s);
    QApplication::processEvents();
    save(form.commentForm(), form.commentForm()->windowTitle(), out + u"/comment-window.png"_s);
    return 0;
}
