// The three windows, driven through their real widgets on the offscreen
// platform, talking to a real server on 127.0.0.1.
#include "app/pelvoran_app.h"
#include "forms/form_texts.h"
#include "net/escaping.h"
#include "net/http_acquisition.h"
#include "platform/curl/curl_http_request.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/loopback_server.h"
#include "tests/support/window_layout.h"
#include "ui/answer_form.h"
#include "ui/caption_label.h"
#include "ui/comment_form.h"
#include "ui/fonts.h"
#include "ui/help_form.h"
#include "ui/pelvoran_form.h"
#include "ui/qt_message_boxes.h"
#include "ui/qt_text.h"
#include "ui/translation.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>

// Switching accessibility on without a screen reader takes Qt's platform
// interface, as Qt's own tests do; the event test needs it.
#if __has_include(<qpa/qplatformaccessibility.h>)
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>
#define PELVORAN_HAVE_QPA 1
#endif

using namespace pelvoran;
using namespace pelvoran::test;

namespace {

const Text kAnswerUE0945 =
    u"日本宇都宫（Utsunomiya）工厂 出厂日期:1990年09月\r此结果仅供参考，谢谢";

/// Runs `answer` on the next message box once it is open. If none opens
/// within 30 seconds (generous: a loaded machine, a sanitized build) the
/// test fails and any open modal window is closed, so that a missing box
/// never hangs the test.
class BoxAnswerer {
public:
    explicit BoxAnswerer(std::function<void(QMessageBox&)> answer) : answer_(std::move(answer)) {
        since_.start();
        QObject::connect(&poll_, &QTimer::timeout, [this] { look(); });
        poll_.start(10);
    }

    bool answered() const { return answered_; }

private:
    void look() {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            poll_.stop();
            answered_ = true;
            answer_(*box);
            if (box->isVisible()) {
                ADD_FAILURE() << "the box stayed open after it was answered";
                box->reject();
            }
            return;
        }
        if (since_.elapsed() < 30000)
            return;
        poll_.stop();
        ADD_FAILURE() << "no message box opened";
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    }

    std::function<void(QMessageBox&)> answer_;
    QTimer poll_;
    QElapsedTimer since_;
    bool answered_ = false;
};

class Windows : public ::testing::Test {
protected:
    explicit Windows(std::string reply = LoopbackServer::reply(200, "1.05[;]http://127.0.0.1/x"))
        : server({ServerBehaviour::Mode::Reply, std::move(reply)}),
          registry(registryForAllClassNames(curlHttpRequestFactory())) {}

    Services services(const std::string& base = {}) { return services(boxes, base); }

    Services services(MessageBoxes& messageBoxes, const std::string& base = {}) {
        return {registry,
                messageBoxes,
                shell,
                [] { return LocalDateTime{2026, 12, 7, 5, 2, 3}; },
                RegionalSettings::zhCN(),
                u16(base.empty() ? server.base() : base)};
    }

    /// A main window loaded and shown, as at start-up.
    std::unique_ptr<PelvoranForm> started(const std::string& base = {}) {
        auto form = std::make_unique<PelvoranForm>(services(base));
        form->Form_Load();
        form->showCentred();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get(), 30000));
        return form;
    }

    /// The comment window of a started main window, open.
    static CommentForm* openComment(PelvoranForm& form) {
        QTest::mouseClick(form.Command3, Qt::LeftButton);
        CommentForm* comment = form.commentForm();
        EXPECT_NE(comment, nullptr);
        return comment;
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
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->ProdSNText->hasFocus(); }, 30000));
    EXPECT_TRUE(boxes.shown.empty());
    ASSERT_EQ(server.requests().size(), 1u); // the update check asked once
}

TEST_F(Windows, EveryControlStandsWhereThePlanPutsIt) {
    auto form = started();
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    QTest::mouseClick(form->Command3, Qt::LeftButton);
    const QWidget* windows[] = {form.get(), form->helpForm(), form->commentForm()};
    for (const WindowPlan& plan : windowPlans()) {
        const QWidget* window =
            *std::find_if(std::begin(windows), std::end(windows), [&](const QWidget* w) {
                return w->objectName() == QLatin1String(plan.window);
            });
        std::vector<ControlPlace> got;
        for (const ControlPlace& c : plan.controls) {
            const auto* control = window->findChild<QWidget*>(QLatin1String(c.name));
            ASSERT_NE(control, nullptr) << plan.window << "." << c.name;
            const QRect r = control->geometry();
            got.push_back({c.name, {r.x(), r.y(), r.width(), r.height()}});
        }
        expectLaidOut(plan, window->width(), window->height(), got);
    }
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
    // "ue094": the digits after the letters start with the month "09".
    EXPECT_EQ(form->Label2->caption(), kAnswerUE0945);
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

TEST_F(Windows, PasteIntoTheCodeBoxKeepsTheFirstLine) {
    auto form = started();
    struct Case {
        QString before;
        int cursor;
        QString pasted;
        QString after;
    };
    const Case cases[] = {
        {{}, 0, u"6831234567\r\nsecond line"_s, u"6831234567"_s},
        {u"UE45"_s, 2, u"09\nxx"_s, u"UE0945"_s},          // the text after the cursor stays
        {u"AB"_s, 1, u"B\nx"_s, u"ABB"_s},                 // even where it repeats the paste
        {u"123456789"_s, 9, u"0ABC\n"_s, u"1234567890"_s}, // and the limit of ten still holds
    };
    for (const Case& c : cases) {
        form->ProdSNText->setText(c.before);
        form->ProdSNText->setCursorPosition(c.cursor);
        QApplication::clipboard()->setText(c.pasted);
        QTest::keyClick(form->ProdSNText, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(form->ProdSNText->text(), c.after) << c.pasted.toStdString();
        EXPECT_EQ(form->Label2->caption(), u"");
    }
    // The same through the context menu's paste, and typing still works.
    form->ProdSNText->clear();
    QApplication::clipboard()->setText(u"UE0945\n"_s);
    form->ProdSNText->paste();
    QTest::keyClick(form->ProdSNText, Qt::Key_Return);
    EXPECT_EQ(form->Label2->caption(), kAnswerUE0945);
    QTest::keyClick(form->ProdSNText, Qt::Key_Backspace);
    QTest::keyClicks(form->ProdSNText, u"5"_s);
    EXPECT_EQ(form->ProdSNText->text(), u"UE0945"_s);
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

    QTest::mouseClick(help->Command1, Qt::LeftButton); // OK closes
    EXPECT_FALSE(help->isVisible());
    EXPECT_TRUE(help->Picture1->pixmap().isNull());
    EXPECT_EQ(help->Label1->caption(), u"Label1");
    EXPECT_TRUE(form->isVisible()); // the main window stays

    QTest::mouseClick(form->Command2, Qt::LeftButton);
    EXPECT_EQ(form->helpForm(), help);
    EXPECT_TRUE(help->isVisible());
    EXPECT_EQ(help->Label1->caption(), form_text::helpText());
    EXPECT_FALSE(help->Picture1->pixmap().isNull());
}

namespace {

/// Sends `target` a mouse event at `globalPos`, as the window system would.
void sendMouse(QWidget* target, QEvent::Type type, QPoint globalPos, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(target->mapFromGlobal(globalPos)), QPointF(globalPos), button,
                  buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &e);
}

/// Presses the left button on `target` at `at`, moves the pointer through
/// `path` (offsets from the press) with the button held and lets go, as the
/// pointer would.
void drag(QWidget* target, QPoint at, std::initializer_list<QPoint> path) {
    const QPoint global = target->mapToGlobal(at);
    sendMouse(target, QEvent::MouseButtonPress, global, Qt::LeftButton, Qt::LeftButton);
    for (const QPoint& by : path)
        sendMouse(target, QEvent::MouseMove, global + by, Qt::NoButton, Qt::LeftButton);
    sendMouse(target, QEvent::MouseButtonRelease,
              global + (path.size() ? *(path.end() - 1) : QPoint()), Qt::LeftButton, Qt::NoButton);
}

/// A double-click on `target` at `at` as Qt delivers one, then the pointer
/// moving by `by` with no button held.
void doubleClickThenMove(QWidget* target, QPoint at, QPoint by) {
    const QPoint global = target->mapToGlobal(at);
    const QEvent::Type clicks[] = {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                   QEvent::MouseButtonPress, QEvent::MouseButtonDblClick,
                                   QEvent::MouseButtonRelease};
    for (const QEvent::Type type : clicks)
        sendMouse(target, type, global, Qt::LeftButton,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton);
    sendMouse(target, QEvent::MouseMove, global + by, Qt::NoButton, Qt::NoButton);
}

void drag(QWidget* target, QPoint at, QPoint by) {
    drag(target, at, {by / 2, by});
}

} // namespace

TEST_F(Windows, HelpWindowIsDraggedByAnyPointButItsOkButton) {
    auto form = started();
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    HelpForm* help = form->helpForm();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(help, 30000));
    const QPoint by(-40, 25);
    struct Case {
        QWidget* target;
        QPoint at;
    };
    const Case grips[] = {
        {help->Label1, QPoint(10, 10)},
        {help->Picture1, QPoint(100, 60)},
        {help, QPoint(4, 200)},   // the bare window between the controls
        {help, QPoint(390, 380)}, // near the bottom right corner
    };
    for (const Case& c : grips) {
        const QPoint start = help->pos();
        drag(c.target, c.at, by);
        EXPECT_EQ(help->pos(), start + by) << c.target->objectName().toStdString();
    }
    // A press on OK presses the button; dragging off it moves nothing, and
    // letting go outside it does not close the window.
    const QPoint start = help->pos();
    drag(help->Command1, QPoint(5, 5), QPoint(0, 60));
    EXPECT_EQ(help->pos(), start);
    EXPECT_TRUE(help->isVisible());
}

TEST_F(Windows, HelpWindowMovesOnlyWhenThePointerDragsItPastTheDragDistance) {
    auto form = started();
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    HelpForm* help = form->helpForm();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(help, 30000));
    int handedOver = 0;
    bool managerMoves = false;
    help->setSystemMove([&] {
        ++handedOver;
        return managerMoves;
    });
    const int d = QApplication::startDragDistance();
    struct Case {
        const char* gesture;
        std::function<void()> make;
        bool managerMoves;
        int handedOver;
        QPoint moved;
    };
    const Case cases[] = {
        {"click",
         [&] { QTest::mouseClick(help->Label1, Qt::LeftButton, {}, QPoint(10, 10)); },
         false,
         0,
         {}},
        {"double-click then the pointer moves unheld",
         [&] { doubleClickThenMove(help->Picture1, QPoint(100, 60), QPoint(60, 30)); },
         false,
         0,
         {}},
        {"wobble within the drag distance",
         [&] {
             drag(help->Label1, QPoint(10, 10), {QPoint(d - 1, 0), QPoint(0, 1 - d)});
         },
         false,
         0,
         {}},
        {"drag the window follows itself",
         [&] {
             drag(help->Label1, QPoint(10, 10), {QPoint(0, d), QPoint(-40, 25)});
         },
         false, 1, QPoint(-40, 25)},
        {"drag the window manager takes over",
         [&] {
             drag(help, QPoint(4, 200), {QPoint(d, 0), QPoint(-40, 25)});
         },
         true,
         1,
         {}},
    };
    for (const Case& c : cases) {
        handedOver = 0;
        managerMoves = c.managerMoves;
        const QPoint start = help->pos();
        c.make();
        EXPECT_EQ(handedOver, c.handedOver) << c.gesture;
        EXPECT_EQ(help->pos(), start + c.moved) << c.gesture;
        EXPECT_TRUE(help->isVisible()) << c.gesture;
    }
}

TEST_F(Windows, CommentWindowKeepsTextWhileOpenAndIsEmptyAfterClose) {
    auto form = started();
    CommentForm* comment = openComment(*form);
    ASSERT_NE(comment, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(comment, 30000));
    EXPECT_EQ(comment->windowTitle(), u"请填写您的意见或建议"_s);
    EXPECT_TRUE(QTest::qWaitFor([&] { return comment->CommentText->hasFocus(); }, 30000));

    QTest::keyClicks(comment->CommentText, u"line one"_s);
    QTest::keyClick(comment->CommentText, Qt::Key_Return); // a new line, not a send
    QTest::keyClicks(comment->CommentText, u"two"_s);
    QTest::keyClick(comment->CommentText, Qt::Key_Return, Qt::ShiftModifier); // the same
    QTest::keyClicks(comment->CommentText, u"three"_s);
    QTest::keyClick(comment->CommentText, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(comment->comment(), u"line one\r\ntwo\r\nthree\r\n");
    EXPECT_TRUE(boxes.shown.empty());

    QTest::mouseClick(form->Command3, Qt::LeftButton); // to the front, text kept
    EXPECT_EQ(form->commentForm(), comment);
    EXPECT_EQ(comment->comment(), u"line one\r\ntwo\r\nthree\r\n");

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

TEST_F(Windows, CommentIsPostedExactlyAsTypedAndTheWindowCloses) {
    auto form = started();
    CommentForm* comment = openComment(*form);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(comment, 30000));
    // A no-break space and a line separator, pasted as they are, and the
    // line breaks of every kind a paste can bring.
    QApplication::clipboard()->setText(u" 50\u00A0mm\u2028f/1.8\r\nok\nend\u00A0 "_s);
    QTest::keyClick(comment->CommentText, Qt::Key_V, Qt::ControlModifier);
    const Text typed = u" 50\u00A0mm\u2028f/1.8\r\nok\r\nend\u00A0 ";
    EXPECT_EQ(comment->comment(), typed);

    QTest::mouseClick(comment->Command1, Qt::LeftButton);
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].body, toUtf8(u"CommentText=" + URLEncoding(typed)));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, u"感谢");
    EXPECT_FALSE(comment->isVisible());
    QTest::mouseClick(form->Command3, Qt::LeftButton);
    EXPECT_EQ(comment->comment(), u""); // the sent text is gone
}

TEST_F(Windows, EnterOnAFocusedButtonPressesIt) {
    auto form = started();
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    CommentForm* comment = openComment(*form);
    comment->CommentText->setPlainText(u"x"_s);
    HelpForm* help = form->helpForm();
    QPushButton* const buttons[] = {form->Command1, form->Command2, form->Command3, help->Command1,
                                    comment->Command1};
    struct Key {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    };
    const Key keys[] = {{Qt::Key_Return, Qt::NoModifier},
                        {Qt::Key_Enter, Qt::KeypadModifier},
                        {Qt::Key_Space, Qt::NoModifier}};
    for (QPushButton* button : buttons) {
        EXPECT_FALSE(button->isDefault());
        EXPECT_FALSE(button->autoDefault());
        for (const Key& k : keys) {
            // Each press may open or close a window: open them again.
            QTest::mouseClick(form->Command2, Qt::LeftButton);
            QTest::mouseClick(form->Command3, Qt::LeftButton);
            comment->CommentText->setPlainText(u"x"_s);
            QSignalSpy clicked(button, &QAbstractButton::clicked);
            button->setFocus();
            QTest::keyClick(button, k.key, k.modifiers);
            EXPECT_EQ(clicked.count(), 1) << button->window()->objectName().toStdString() << "."
                                          << button->objectName().toStdString() << " key " << k.key;
            EXPECT_FALSE(button->isDefault());
        }
    }
    // What the presses did: queries, the help window closed, comments sent.
    EXPECT_EQ(server.requests().size(), 4u);
}

namespace {

/// The accessible side of a widget.
QAccessibleInterface* accessible(QObject* o) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(o);
    EXPECT_NE(a, nullptr);
    return a;
}

} // namespace

TEST_F(Windows, ScreenReadersNameTheBoxesAndThePicture) {
    auto form = started();
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    CommentForm* comment = openComment(*form);
    HelpForm* help = form->helpForm();
    struct Case {
        QWidget* widget;
        QAccessible::Role role;
        QString name;
    };
    const Case cases[] = {
        {form->ProdSNText, QAccessible::EditableText, u"佳能镜头编号"_s},
        {comment->CommentText, QAccessible::EditableText, u"请填写您的意见或建议"_s},
        {help->Picture1, QAccessible::Graphic, u"镜头卡口照片"_s},
        {form->Command1, QAccessible::Button, u"查询生产日期"_s},
    };
    for (const Case& c : cases) {
        QAccessibleInterface* a = accessible(c.widget);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->role(), c.role) << c.name.toStdString();
        EXPECT_EQ(a->text(QAccessible::Name), c.name);
    }
    EXPECT_EQ(accessible(help->Picture1)->text(QAccessible::Description),
              u"镜头卡口处的照片，印在卡口上的镜头编号用红框标出"_s);
    // The help window is a dialog named 帮助 whose label is its text, so
    // that a screen reader reads both when it opens.
    QAccessibleInterface* window = accessible(help);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->role(), QAccessible::Dialog);
    EXPECT_EQ(window->text(QAccessible::Name), u"帮助"_s);
    QAccessibleInterface* label = window->child(window->indexOfChild(accessible(help->Label1)));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->role(), QAccessible::StaticText);
    EXPECT_EQ(label->text(QAccessible::Name), forDisplay(form_text::helpText()));
    // The label beside the code box is its label for screen readers too.
    EXPECT_EQ(form->Label1->buddy(), form->ProdSNText);
    const auto labels = accessible(form->ProdSNText)->relations(QAccessible::Label);
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels[0].first->object(), form->Label1);
}

#ifdef PELVORAN_HAVE_QPA
namespace {

std::vector<std::pair<QObject*, QAccessible::Event>>* recordedEvents = nullptr;

void recordEvent(QAccessibleEvent* event) {
    if (recordedEvents != nullptr)
        recordedEvents->emplace_back(event->object(), event->type());
}

} // namespace
#endif

TEST_F(Windows, ScreenReadersHearEachNewAnswer) {
#ifndef PELVORAN_HAVE_QPA
    GTEST_SKIP() << "needs Qt's platform headers (qt6-base-private-dev) to switch accessibility on";
#else
    auto form = started();
    std::vector<std::pair<QObject*, QAccessible::Event>> events;
    QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
    recordedEvents = &events;
    const QAccessible::UpdateHandler previous = QAccessible::installUpdateHandler(recordEvent);
    auto nameChanges = [&] {
        int n = 0;
        for (const auto& [object, type] : events)
            n += object == form->Label2 && type == QAccessible::NameChanged ? 1 : 0;
        events.clear();
        return n;
    };

    form->ProdSNText->setText(u"UE0945"_s); // the notice goes
    EXPECT_EQ(nameChanges(), 1);
    QTest::keyClick(form->ProdSNText, Qt::Key_Return);
    EXPECT_EQ(nameChanges(), 1);
    EXPECT_EQ(accessible(form->Label2)->text(QAccessible::Name), forDisplay(kAnswerUE0945));
    QTest::keyClick(form->ProdSNText, Qt::Key_Return); // the same answer, told again
    EXPECT_EQ(nameChanges(), 1);
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    EXPECT_EQ(nameChanges(), 1);

    QAccessible::installUpdateHandler(previous);
    recordedEvents = nullptr;
    QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(false);
#endif
}

namespace {

/// Where the box and its buttons lie against the screen's available area.
void expectOnScreen(QMessageBox& box) {
    const QRect screen = box.screen()->availableGeometry();
    EXPECT_LE(box.frameGeometry().height(), screen.height());
    EXPECT_LE(box.frameGeometry().width(), screen.width());
    EXPECT_TRUE(screen.contains(box.frameGeometry())) << box.frameGeometry().y();
    for (QAbstractButton* b : box.buttons()) {
        const QRect global(b->mapToGlobal(QPoint(0, 0)), b->size());
        EXPECT_TRUE(screen.contains(global)) << b->text().toStdString();
    }
}

} // namespace

TEST(QtMessageBoxes, LongLinesAndLongTextsFitTheScreen) {
    const QString longWord(3000, u'x');
    QString manyLines;
    for (int i = 0; i < 200; ++i)
        manyLines += u"line %1\r"_s.arg(i);
    QString longNotes; // about as long as an update's notes can be
    for (int i = 0; i < 20; ++i)
        longNotes += QString(45, QChar(i % 2 == 0 ? u'镜' : u'头')) + u"\r"_s;
    const struct {
        QString message;
        bool cut;
    } cases[] = {
        {u"最新版本: 1.06\r更新说明: "_s + longWord + u"\r点击确定下载升级程序。\r"_s, false},
        {manyLines + u"the last line\r"_s, true},
        {u"最新版本: 1.06\r更新说明: "_s + longNotes + u"the last line\r"_s, true},
        {QString(5000, QChar(u'镜')), true}, // one line, cut at its end
        {u"short"_s, false},
    };
    for (const auto& c : cases) {
        QString shown;
        BoxAnswerer answerer([&](QMessageBox& box) {
            shown = box.text();
            expectOnScreen(box);
            box.button(QMessageBox::Ok)->click();
        });
        QtMessageBoxes().show(toText(c.message), u"提示", MessageButtons::Ok);
        ASSERT_TRUE(answerer.answered());
        EXPECT_EQ(shown.contains(u'…'), c.cut) << c.message.left(20).toStdString();
        if (c.message.endsWith(u"the last line\r"_s)) {
            EXPECT_TRUE(shown.endsWith(u"…\nthe last line\n"_s));
        }
    }
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
        BoxAnswerer answerer([&](QMessageBox& box) {
            title = box.windowTitle();
            text = box.text();
            icon = box.icon();
            seen = box.findChild<QDialogButtonBox*>()->standardButtons();
            okIsDefault = box.defaultButton() == box.button(QMessageBox::Ok);
            (c.clickOk ? box.button(QMessageBox::Ok) : box.button(QMessageBox::Cancel))->click();
        });
        const MessageAnswer answer =
            QtMessageBoxes().show(u"第一行\r<b>second</b>\r", u"有更新版本", c.buttons);
        EXPECT_TRUE(answerer.answered());
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(title, u"有更新版本"_s);
        EXPECT_EQ(text, u"第一行\n<b>second</b>\n"_s);
        EXPECT_EQ(icon, QMessageBox::NoIcon);
        EXPECT_EQ(seen, c.expected);
        EXPECT_TRUE(okIsDefault);
    }
}

TEST(QtMessageBoxes, ButtonsReadChineseWithAndWithoutQtsTranslation) {
    QTranslator* translator = installQtChineseTranslation();
    ASSERT_NE(translator, nullptr) << "Qt's zh_CN translation (qt6-translations-l10n) is missing";
    for (const bool translated : {true, false}) {
        if (!translated)
            QCoreApplication::removeTranslator(translator);
        QStringList texts;
        BoxAnswerer answerer([&](QMessageBox& box) {
            texts = {box.button(QMessageBox::Ok)->text(), box.button(QMessageBox::Cancel)->text()};
            box.button(QMessageBox::Cancel)->click();
        });
        QtMessageBoxes().show(u"text", u"提示", MessageButtons::OkCancel);
        EXPECT_EQ(texts, (QStringList{u"确定"_s, u"取消"_s})) << "translated " << translated;
    }
    QCoreApplication::removeTranslator(translator);
    delete translator;
}

TEST(QtTranslation, TextBoxContextMenusAreChinese) {
    QTranslator* translator = installQtChineseTranslation();
    ASSERT_NE(translator, nullptr) << "Qt's zh_CN translation (qt6-translations-l10n) is missing";
    QLineEdit line;
    QPlainTextEdit multi;
    const std::unique_ptr<QMenu> menus[] = {
        std::unique_ptr<QMenu>(line.createStandardContextMenu()),
        std::unique_ptr<QMenu>(multi.createStandardContextMenu())};
    for (const auto& menu : menus) {
        int chinese = 0;
        for (const QAction* action : menu->actions()) {
            if (action->isSeparator())
                continue;
            const QString t = action->text();
            EXPECT_TRUE(std::any_of(t.begin(), t.end(), [](QChar ch) {
                return ch >= u'\u4E00' && ch <= u'\u9FFF';
            })) << t.toStdString();
            ++chinese;
        }
        EXPECT_GE(chinese, 6); // undo, redo, cut, copy, paste, delete, select all
    }
    QCoreApplication::removeTranslator(translator);
    delete translator;
}

// The real start-up in a process of its own, handed Qt options on its command
// line; it reports what Qt made of them, whether Qt's own texts (the code
// box's context menu) read Chinese (see main()), and the sizes the window
// icon offers.
TEST(Process, QtOptionsOnTheCommandLineAreNotHonoured) {
    const std::string refused = "http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort());
    struct Case {
        QStringList arguments;
        QString styleOverride; // QT_STYLE_OVERRIDE, empty for none
        QString expected;
    };
    const Case cases[] = {
        {{u"-reverse"_s, u"-style"_s, u"windows"_s, u"-platform"_s, u"xcb"_s},
         {},
         u"menu chinese arguments 1 direction ltr style fusion sheet none platform offscreen"
         u" icon 16x16 24x24 32x32 48x48 64x64 128x128 256x256"_s},
        {{u"-stylesheet=x.qss"_s, u"-qwindowtitle"_s, u"x"_s, u"-platform"_s, u"minimal"_s},
         {},
         u"menu chinese arguments 1 direction ltr style fusion sheet none platform offscreen"
         u" icon 16x16 24x24 32x32 48x48 64x64 128x128 256x256"_s},
        // Qt's environment variables still apply.
        {{},
         u"windows"_s,
         u"menu chinese arguments 1 direction ltr style windows sheet none platform offscreen"
         u" icon 16x16 24x24 32x32 48x48 64x64 128x128 256x256"_s},
    };
    for (const Case& c : cases) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        env.remove(u"QT_STYLE_OVERRIDE"_s);
        if (!c.styleOverride.isEmpty())
            env.insert(u"QT_STYLE_OVERRIDE"_s, c.styleOverride);
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    QStringList{u"--run-pelvoran"_s, QString::fromStdString(refused)} +
                        c.arguments);
        ASSERT_TRUE(child.waitForFinished(20000)) << c.arguments.join(u' ').toStdString();
        const QString out = QString::fromUtf8(child.readAllStandardOutput()).trimmed();
        EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardError().toStdString();
        EXPECT_EQ(out, c.expected) << c.arguments.join(u' ').toStdString();
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

// The bitmap's stored format is checked in the Windows executable
// (tests/win/resources_test.cpp); here, what the help window shows of it.
TEST(Resources, Bitmap100ShowsTheRedFrameInsideThePictureBox) {
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
}

namespace {

/// The child of Process.QtOptionsOnTheCommandLineAreNotHonoured: the real
/// start-up in a process started with Qt's options on its command line,
/// against the server given after the switch; prints what Qt made of them
/// and quits.
int runPelvoranChild(char** argv) {
    AppOptions options;
    options.baseAddress = u16(argv[2]);
    options.afterShow = [](PelvoranForm& form) {
        const std::unique_ptr<QMenu> menu(form.ProdSNText->createStandardContextMenu());
        const QString undo = menu->actions().value(0)->text();
        const bool chinese = std::any_of(
            undo.begin(), undo.end(), [](QChar ch) { return ch >= u'\u4E00' && ch <= u'\u9FFF'; });
        QStringList iconSizes;
        for (const QSize& size : QApplication::windowIcon().availableSizes())
            iconSizes << u"%1x%2"_s.arg(size.width()).arg(size.height());
        std::printf("menu %s arguments %lld direction %s style %s sheet %s platform %s icon %s\n",
                    chinese ? "chinese" : "untranslated",
                    static_cast<long long>(QCoreApplication::arguments().size()),
                    QGuiApplication::layoutDirection() == Qt::RightToLeft ? "rtl" : "ltr",
                    qPrintable(QApplication::style()->name()),
                    qApp->styleSheet().isEmpty() ? "none" : "set",
                    qPrintable(QGuiApplication::platformName()), qPrintable(iconSizes.join(u' ')));
        std::fflush(stdout);
        QTimer::singleShot(0, [] { QApplication::quit(); });
    };
    return runPelvoran(options);
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--run-pelvoran") == 0)
        return runPelvoranChild(argv);
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

// An answer comes in a window of its own: the comment and the answer in
// read-only boxes that screen readers name by their labels, the focus on the
// answer; Enter presses OK, Esc closes the window as well, and the next
// answer follows. While a box is open, the answer waits for it to close.
TEST_F(Windows, AnswerWindowShowsCommentAndAnswerAndClosesByKeyboard) {
    auto form = started();
    auto answer = [](const char16_t* comment, const char16_t* text) {
        FetchedAnswer a;
        a.record.comment = comment;
        a.text = text;
        return a;
    };
    QMessageBox box(QMessageBox::NoIcon, u"提示"_s, u"box"_s, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.show();
    form->answersArrived({answer(u"UE0945 是哪年的？\r\n谢谢", u"1990年9月。\nhttp://example.com"),
                          answer(u"第二条", u"第二个回复")});
    box.close();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return form->answerForm() != nullptr && form->answerForm()->isVisible(); }, 30000));
    AnswerForm* window = form->answerForm();
    EXPECT_EQ(window->windowTitle(), u"发布者的回复"_s);
    EXPECT_EQ(window->CommentText->toPlainText(), u"UE0945 是哪年的？\n谢谢"_s);
    EXPECT_EQ(window->AnswerText->toPlainText(), u"1990年9月。\nhttp://example.com"_s);
    EXPECT_TRUE(window->AnswerText->isReadOnly());
    EXPECT_EQ(window->focusWidget(), window->AnswerText);
    struct Case {
        QWidget* widget;
        QString name;
    };
    for (const Case& c :
         {Case{window->CommentText, u"您的留言："_s}, Case{window->AnswerText, u"发布者的回复："_s},
          Case{window->Command1, u"确定"_s}})
        EXPECT_EQ(accessible(c.widget)->text(QAccessible::Name), c.name);
    EXPECT_EQ(window->Label2->buddy(), window->AnswerText);

    QTest::keyClick(window->AnswerText, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window->isVisible() && window->AnswerText->toPlainText() == u"第二个回复"_s; },
        30000));
    QTest::keyClick(window->AnswerText, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(form->isVisible());
}
