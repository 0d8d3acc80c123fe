// The three windows, driven through their real widgets on the offscreen
// platform, talking to a real server on 127.0.0.1.
#include "forms/form_texts.h"
#include "net/http_acquisition.h"
#include "platform/curl/curl_http_request.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/loopback_server.h"
#include "ui/caption_label.h"
#include "ui/fonts.h"
#include "ui/comment_form.h"
#include "ui/help_form.h"
#include "ui/pelvoran_form.h"
#include "ui/qt_message_boxes.h"
#include "ui/qt_text.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>

using namespace pelvoran;
using namespace pelvoran::test;

namespace {

const Text kAnswerUE0945 =
    u"日本宇都宫（Utsunomiya）工厂 出厂日期:1990年09月\r此结果仅供参考，谢谢";

class Windows : public ::testing::Test {
protected:
    explicit Windows(std::string reply = LoopbackServer::reply(200, "1.05[;]http://127.0.0.1/x"))
        : server({ServerBehaviour::Mode::Reply, std::move(reply)}),
          registry(registryForAllClassNames(curlHttpRequestFactory())) {}

    Services services(const std::string& base = {}) {
        return {registry,
                boxes,
                shell,
                [] { return LocalDateTime{2026, 12, 7, 5, 2, 3}; },
                RegionalSettings::zhCN(),
                u16(base.empty() ? server.base() : base)};
    }

    /// A main window loaded and shown, as at start-up.
    std::unique_ptr<PelvoranForm> started() {
        auto form = std::make_unique<PelvoranForm>(services());
        form->Form_Load();
        form->showCentred();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        return form;
    }

    LoopbackServer server;
    HttpComponentRegistry registry;
    RecordingMessageBoxes boxes;
    RecordingShell shell;
};

} // namespace

TEST_F(Windows, StartShowsCaptionNoticeAndFocusInTheCodeBox) {
    auto form = started();
    EXPECT_EQ(form->windowTitle(), u"Pelvoran(v1.05 Powered By Brannoc)"_s);
    EXPECT_EQ(form->Label2->caption(), form_text::kStartNotice);
    EXPECT_TRUE(form->ProdSNText->text().isEmpty());
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->ProdSNText->hasFocus(); }, 2000));
    EXPECT_TRUE(boxes.shown.empty());
    ASSERT_EQ(server.requests().size(), 1u); // the update check asked once
    EXPECT_EQ(form->size(), QSize(334, 188));
    EXPECT_EQ(form->Label2->geometry(), QRect(16, 88, 289, 41));
    EXPECT_EQ(form->ProdSNText->geometry(), QRect(120, 40, 185, 33));
}

TEST_F(Windows, TypingAndEnterQueries) {
    auto form = started();
    QTest::keyClick(form->ProdSNText, Qt::Key_U);
    EXPECT_EQ(form->Label2->caption(), u""); // the first key empties the notice
    QTest::keyClicks(form->ProdSNText, u"e0945"_s);
    QTest::keyClick(form->ProdSNText, Qt::Key_Return);
    EXPECT_EQ(form->Label2->caption(), kAnswerUE0945);
    EXPECT_EQ(form->Label2->text(), forDisplay(kAnswerUE0945)); // shown on two lines
    EXPECT_EQ(form->ProdSNText->text(), u"ue0945"_s);

    QTest::keyClick(form->ProdSNText, Qt::Key_Return); // again: the same answer
    EXPECT_EQ(form->Label2->caption(), kAnswerUE0945);

    QTest::keyClick(form->ProdSNText, Qt::Key_Backspace);
    EXPECT_EQ(form->ProdSNText->text(), u"ue094"_s);
    EXPECT_EQ(form->Label2->caption(), u"");
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    EXPECT_EQ(
        form->Label2->caption(),
        u"日本宇都宫（Utsunomiya）工厂 出厂日期:1990年09月\r此结果仅供参考，谢谢"); // "ue094":
                                                                                    // month "09"
    QTest::keyClick(form->ProdSNText, Qt::Key_Backspace);
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    EXPECT_EQ(form->Label2->caption(),
              u"请输入6、8或10位的编号，编号一般印在卡口处\r格式为 UE0945 或 6831234567 之类");
}

TEST_F(Windows, EveryEnterQueries) {
    auto form = started();
    const Qt::KeyboardModifiers modifiers[] = {Qt::ShiftModifier, Qt::ControlModifier,
                                               Qt::KeypadModifier};
    const Qt::Key keys[] = {Qt::Key_Return, Qt::Key_Return, Qt::Key_Enter};
    for (int i = 0; i < 3; ++i) {
        form->ProdSNText->clear();
        form->ProdSNText->setText(u"6831234567"_s);
        ASSERT_EQ(form->Label2->caption(), u"");
        QTest::keyClick(form->ProdSNText, keys[i], modifiers[i]);
        EXPECT_EQ(form->Label2->caption(), u"出厂日期:2010年6月\r此结果仅供参考，谢谢") << i;
    }
}

TEST_F(Windows, CodeBoxTakesTenCharacters) {
    auto form = started();
    QTest::keyClicks(form->ProdSNText, u"12345678901"_s);
    EXPECT_EQ(form->ProdSNText->text(), u"1234567890"_s);
    form->ProdSNText->clear();
    QApplication::clipboard()->setText(u"ABCDEFGHIJKLMN"_s);
    form->ProdSNText->paste();
    EXPECT_EQ(form->ProdSNText->text(), u"ABCDEFGHIJ"_s);
}

TEST_F(Windows, HelpWindowOpensOnceReloadsAfterClose) {
    auto form = started();
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    HelpForm* help = form->helpForm();
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isVisible());
    EXPECT_EQ(help->parentWidget(), nullptr); // no owner
    EXPECT_TRUE(help->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(help->Label1->caption(), form_text::helpText());
    const QStringList lines = toQString(help->Label1->caption()).split(QChar(u'\r'));
    EXPECT_EQ(
        lines,
        (QStringList{
            u"编号为2位字母加3-4位数字或8/10位的数字"_s,
            u"格式为 UE0945 或 6831234567 之类"_s,
            u"镜头编号一般印在卡口处"_s,
            u"本软件所提供信息仅做为参考。另因CANON公司编号规则未公开，并不能保证数据信息的100%准确性。"_s,
            u"如您有何建议或了解其它编号格式的相关信息"_s,
            u"请点击主界面留言按钮发送给我们 ，非常感谢 ^_^"_s,
        }));
    ASSERT_FALSE(help->Picture1->pixmap().isNull());
    EXPECT_EQ(help->Picture1->pixmap().size(), QSize(401, 220)); // natural size, clipped
    EXPECT_EQ(help->Picture1->size(), QSize(353, 193));
    EXPECT_EQ(help->loads(), 1);

    QTest::mouseClick(form->Command2, Qt::LeftButton); // already open: to the front only
    EXPECT_EQ(form->helpForm(), help);
    EXPECT_EQ(help->loads(), 1);

    QTest::mouseClick(help->Command1, Qt::LeftButton); // OK closes
    EXPECT_FALSE(help->isVisible());
    EXPECT_TRUE(help->Picture1->pixmap().isNull());
    EXPECT_TRUE(form->isVisible()); // the main window stays

    QTest::mouseClick(form->Command2, Qt::LeftButton);
    EXPECT_EQ(form->helpForm(), help);
    EXPECT_TRUE(help->isVisible());
    EXPECT_EQ(help->loads(), 2);
    EXPECT_EQ(help->Label1->caption(), form_text::helpText());
    EXPECT_FALSE(help->Picture1->pixmap().isNull());
}

TEST_F(Windows, CommentWindowKeepsTextWhileOpenAndIsEmptyAfterClose) {
    auto form = started();
    QTest::mouseClick(form->Command3, Qt::LeftButton);
    CommentForm* comment = form->commentForm();
    ASSERT_NE(comment, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(comment));
    EXPECT_EQ(comment->windowTitle(), u"请填写您的意见或建议"_s);
    EXPECT_TRUE(QTest::qWaitFor([&] { return comment->CommentText->hasFocus(); }, 2000));

    QTest::keyClicks(comment->CommentText, u"line one"_s);
    QTest::keyClick(comment->CommentText, Qt::Key_Return); // a new line, not a send
    QTest::keyClicks(comment->CommentText, u"two"_s);
    EXPECT_EQ(comment->comment(), u"line one\r\ntwo");
    EXPECT_TRUE(boxes.shown.empty());

    QTest::mouseClick(form->Command3, Qt::LeftButton); // to the front, text kept
    EXPECT_EQ(form->commentForm(), comment);
    EXPECT_EQ(comment->comment(), u"line one\r\ntwo");

    // The main window still takes input while the comment window is open.
    form->ProdSNText->setText(u"UE0945"_s);
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    EXPECT_EQ(form->Label2->caption(), kAnswerUE0945);

    comment->close();
    QTest::mouseClick(form->Command3, Qt::LeftButton);
    EXPECT_TRUE(comment->isVisible());
    EXPECT_EQ(comment->comment(), u"");
    EXPECT_EQ(server.requests().size(), 1u); // only the update check
}

TEST_F(Windows, CommentIsPostedAndTheWindowCloses) {
    auto form = started();
    QTest::mouseClick(form->Command3, Qt::LeftButton);
    CommentForm* comment = form->commentForm();
    comment->CommentText->setPlainText(u"镜头很好"_s);
    QTest::mouseClick(comment->Command1, Qt::LeftButton);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, u"感谢");
    EXPECT_FALSE(comment->isVisible());
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].body, "CommentText=%BE%B5%CD%B7%BA%DC%BA%C3");

    QTest::mouseClick(form->Command3, Qt::LeftButton);
    EXPECT_EQ(comment->comment(), u""); // the sent text is gone
}

TEST_F(Windows, BlankCommentIsRefusedAndStays) {
    auto form = started();
    QTest::mouseClick(form->Command3, Qt::LeftButton);
    CommentForm* comment = form->commentForm();
    QTest::keyClicks(comment->CommentText, u"   "_s);
    QTest::mouseClick(comment->Command1, Qt::LeftButton);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, u"提示");
    EXPECT_TRUE(comment->isVisible());
    EXPECT_EQ(comment->comment(), u"   ");
    EXPECT_EQ(server.requests().size(), 1u);
}

namespace {

class UpdateOffer : public Windows {
protected:
    UpdateOffer()
        : Windows(LoopbackServer::reply(200, "1.06[;]http://127.0.0.1/x[;]2012-12-30[;]Fixes")) {}
};

} // namespace

TEST_F(UpdateOffer, ShownBeforeTheMainWindowCancelThenOpens) {
    PelvoranForm form(services());
    bool mainVisibleDuringOffer = true;
    boxes.onShow = [&] { mainVisibleDuringOffer = form.isVisible(); };
    boxes.setNextAnswer(MessageAnswer::Cancel);
    form.Form_Load();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_FALSE(mainVisibleDuringOffer);
    EXPECT_EQ(boxes.shown[0].title, u"有更新版本");
    EXPECT_EQ(boxes.shown[0].message, u"最新版本: 1.06\r发布日期: 2012-12-30\r更新说明: Fixes\r"
                                      u"点击确定下载升级程序。\r");
    EXPECT_FALSE(form.updateCheck().exitRequested());
    form.showCentred();
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(shell.opened.empty());
}

TEST_F(UpdateOffer, OkStartsOneLauncherCallAndEnds) {
    PelvoranForm form(services());
    boxes.setNextAnswer(MessageAnswer::Ok);
    form.Form_Load();
    EXPECT_EQ(shell.opened, std::vector<std::string>{"http://127.0.0.1/x"});
    EXPECT_EQ(shell.exits, 1);
    EXPECT_TRUE(form.updateCheck().exitRequested());
    EXPECT_FALSE(form.isVisible());
}

TEST_F(Windows, StartsWithoutAMessageWhenTheServerIsDownOrSilent) {
    using Clock = std::chrono::steady_clock;
    LoopbackServer silent({ServerBehaviour::Mode::Silent, ""});
    const std::string refused = "http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort());
    for (const std::string& base : {refused, silent.base()}) {
        PelvoranForm form(services(base));
        const auto start = Clock::now();
        form.Form_Load();
        form.showCentred();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_TRUE(form.isVisible()) << base;
        EXPECT_LT(seconds, 6.0) << base; // the component gives up after 5 s
        EXPECT_EQ(form.Label2->caption(), form_text::kStartNotice);
    }
    EXPECT_TRUE(boxes.shown.empty());
}

TEST(QtMessageBoxes, TitleTextButtonsAndNoIcon) {
    struct Case {
        MessageButtons buttons;
        QDialogButtonBox::StandardButtons expected;
        bool clickOk;
        MessageAnswer answer;
    };
    const Case cases[] = {
        {MessageButtons::OkCancel, QDialogButtonBox::Ok | QDialogButtonBox::Cancel, false,
         MessageAnswer::Cancel},
        {MessageButtons::OkCancel, QDialogButtonBox::Ok | QDialogButtonBox::Cancel, true,
         MessageAnswer::Ok},
        {MessageButtons::Ok, QDialogButtonBox::Ok, true, MessageAnswer::Ok},
    };
    for (const auto& c : cases) {
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::Warning;
        QDialogButtonBox::StandardButtons seen;
        bool okIsDefault = false;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            seen = box->findChild<QDialogButtonBox*>()->standardButtons();
            okIsDefault = box->defaultButton() == box->button(QMessageBox::Ok);
            (c.clickOk ? box->button(QMessageBox::Ok) : box->button(QMessageBox::Cancel))->click();
        });
        QtMessageBoxes boxes;
        const MessageAnswer answer =
            boxes.show(u"第一行\r<b>second</b>\r", u"有更新版本", c.buttons);
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(title, u"有更新版本"_s);
        EXPECT_EQ(text, u"第一行\n<b>second</b>\n"_s);
        EXPECT_EQ(icon, QMessageBox::NoIcon);
        EXPECT_EQ(seen, c.expected);
        EXPECT_TRUE(okIsDefault);
    }
}

namespace {

quint32 le32(const QByteArray& b, int at) {
    return quint32(quint8(b[at])) | quint32(quint8(b[at + 1])) << 8 |
           quint32(quint8(b[at + 2])) << 16 | quint32(quint8(b[at + 3])) << 24;
}
quint16 le16(const QByteArray& b, int at) {
    return quint16(quint8(b[at]) | quint8(b[at + 1]) << 8);
}

QByteArray resource(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(Resources, Bitmap100IsTheStored16BitPhotograph) {
    const QByteArray bmp = resource(u":/pelvoran/bitmap100.bmp"_s);
    ASSERT_EQ(bmp.left(2), "BM");
    const int info = 14;
    EXPECT_EQ(le32(bmp, info + 4), 401u);        // width
    EXPECT_EQ(qint32(le32(bmp, info + 8)), 220); // positive height: bottom-up
    EXPECT_EQ(le16(bmp, info + 14), 16);         // bits per pixel
    EXPECT_EQ(le32(bmp, info + 16), 0u);         // uncompressed (5-5-5)
    EXPECT_EQ(le32(bmp, info + 24), 2834u);      // pixels per metre
    EXPECT_EQ(le32(bmp, info + 28), 2834u);
    EXPECT_EQ(bmp.size(), qsizetype(14 + 40 + 804 * 220)); // rows of 804 bytes

    const QImage image(u":/pelvoran/bitmap100.bmp"_s, "BMP");
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(401, 220));
    // The red frame around the code lies inside the part the help window shows.
    int red = 0;
    for (int y = 0; y < 193; ++y)
        for (int x = 0; x < 353; ++x) {
            const QColor c = image.pixelColor(x, y);
            red += c.red() >= 240 && c.green() < 16 && c.blue() < 16 ? 1 : 0; // 5 bits a colour
        }
    EXPECT_GT(red, 400);
}

TEST(Resources, IconIs32By32In16Colours) {
    const QByteArray ico = resource(u":/pelvoran/pelvoran.ico"_s);
    ASSERT_EQ(ico.size(), 6 + 16 + 744);
    EXPECT_EQ(le16(ico, 4), 1);        // one image
    EXPECT_EQ(quint8(ico[6]), 32);     // width
    EXPECT_EQ(quint8(ico[7]), 32);     // height
    EXPECT_EQ(quint8(ico[8]), 16);     // colours
    EXPECT_EQ(le16(ico, 6 + 6), 4);    // bits per pixel
    EXPECT_EQ(le32(ico, 6 + 8), 744u); // bytes of the image
    const QImage image(u":/pelvoran/pelvoran.ico"_s);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(32, 32));
    EXPECT_TRUE(image.hasAlphaChannel()); // the transparency mask
    EXPECT_EQ(QImage(u":/pelvoran/pelvoran.png"_s).size(), QSize(256, 256));
}

int main(int argc, char** argv) {
    // ctest sets the offscreen platform; without a display, listing the tests
    // needs it too.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    installChineseFontSubstitutes();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
