// The three windows' presenters against a recording view: every decision a
// window makes, once for both shells. The request object is scripted, so the
// suite runs alike on Linux and under wine.
#include "decode/lens_query.h"
#include "forms/form_texts.h"
#include "present/presenters.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/fake_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace pelvoran;
using namespace pelvoran::present;
using namespace pelvoran::test;

namespace {

/// The notice the main window greets its users with, as they read it.
constexpr char16_t kNotice[] =
    u"希望购了C家镜头的兄弟，能把镜头的型号、购买年月和编号点留言按钮发送给我们，"
    u"有足够基础数据可以使算法更完善。前人栽树后人乘凉，先在此谢过了 ^_^";

/// A window that records what its presenter asks of it. Closing reports back
/// to the presenter, as the shells do.
class RecordingView final : public View {
public:
    void load() override {
        calls.push_back("load");
        texts.clear();
        picture = 0;
    }
    void show() override { calls.push_back("show"); }
    void raise() override { calls.push_back("raise"); }
    void close() override {
        calls.push_back("close");
        if (presenter != nullptr)
            presenter->closed();
    }
    void focus(Control control) override { calls.push_back("focus " + name(control)); }
    void setText(Control control, const Text& text) override { texts[control] = text; }
    Text text(Control control) const override {
        const auto it = texts.find(control);
        return it == texts.end() ? Text() : it->second;
    }
    std::size_t cursor(Control) const override { return cursorAt; }
    void setPicture(Control control, int bitmapId) override {
        calls.push_back("picture " + name(control));
        picture = bitmapId;
    }

    void announce(Control control, const Text& text) override {
        announced.push_back(name(control) + " " + toUtf8(text));
    }
    void speakForMessageBoxes(bool speak) override { speaksForBoxes = speak; }

    static std::string name(Control control) {
        static const char* const names[] = {"Window",      "ProdSNText", "Label1",   "Label2",
                                            "Picture1",    "Command1",   "Command2", "Command3",
                                            "CommentText", "AnswerText"};
        return names[static_cast<int>(control)];
    }

    std::vector<std::string> calls;
    std::map<Control, Text> texts;
    std::size_t cursorAt = 0;
    int picture = 0;
    std::vector<std::string> announced;
    bool speaksForBoxes = false;
    WindowPresenter* presenter = nullptr;
};

template <class P> struct FakeWindow {
    template <class... A> explicit FakeWindow(A&&... a) : presenter(view, std::forward<A>(a)...) {
        view.presenter = &presenter;
    }
    RecordingView view;
    P presenter;
};

/// A main window presenter on a recording view, its help and comment windows
/// recording too, and a request object that plays `script` for every exchange.
struct Main {
    explicit Main(FakeScript script = noExchange())
        : registry(fakeRegistry(script, calls)),
          presenter(view,
                    Services{registry, boxes, shell,
                             [] { return LocalDateTime{2026, 12, 7, 5, 2, 3}; },
                             RegionalSettings::zhCN(), u"http://server"},
                    {[this](OpenWindows& w) {
                         auto f = std::make_shared<FakeWindow<HelpPresenter>>(w);
                         help = &f->view;
                         return std::shared_ptr<HelpPresenter>(f, &f->presenter);
                     },
                     [this](OpenWindows& w, const Services& s) {
                         auto f = std::make_shared<FakeWindow<CommentPresenter>>(w, s);
                         comment = &f->view;
                         return std::shared_ptr<CommentPresenter>(f, &f->presenter);
                     },
                     [this](OpenWindows& w) {
                         auto f = std::make_shared<FakeWindow<AnswerPresenter>>(w);
                         answer = &f->view;
                         return std::shared_ptr<AnswerPresenter>(f, &f->presenter);
                     },
                     [this](std::function<void()> run) { untilNoBox.push_back(std::move(run)); }},
                    [this] { ++quits; }) {
        view.presenter = &presenter;
    }

    /// The update check asks, and the reply offers nothing.
    static FakeScript noExchange() {
        FakeScript s;
        s.responseText = u"1.05";
        return s;
    }

    CallLog calls;
    HttpComponentRegistry registry;
    RecordingMessageBoxes boxes;
    RecordingShell shell;
    RecordingView view;
    MainPresenter presenter;
    RecordingView* help = nullptr;
    RecordingView* comment = nullptr;
    RecordingView* answer = nullptr;
    /// What waits for the message boxes to be closed.
    std::vector<std::function<void()>> untilNoBox;
    int quits = 0;
};

} // namespace

TEST(MainPresenter, LoadSetsCaptionAndNoticeChecksForUpdatesThenShowsWithFocusInTheCodeBox) {
    Main m;
    m.presenter.Form_Load();
    EXPECT_EQ(m.view.calls, std::vector<std::string>{"load"}); // not shown during the check
    EXPECT_EQ(m.view.texts[Control::Window], u"Pelvoran(v1.05 Powered By Brannoc)");
    EXPECT_EQ(m.view.texts[Control::Label2], kNotice);
    ASSERT_FALSE(m.calls.empty());
    EXPECT_EQ(m.calls[0].rfind("Open GET http://server/Canon/LensCheck.asp", 0), 0u);
    m.presenter.showCentred();
    EXPECT_EQ(m.view.calls, (std::vector<std::string>{"load", "show", "focus ProdSNText"}));
    EXPECT_EQ(m.presenter.openWindows().count(), 1);
}

TEST(MainPresenter, QueryChangeAndKeyDown) {
    Main m;
    m.presenter.Form_Load();
    const Text answer = LensQuery(RegionalSettings::zhCN()).Command1_Click(u"UE0945");
    struct Case {
        const char* what;
        std::function<void(MainPresenter&)> event;
        Text label2;
    };
    const Case cases[] = {
        {"click", [](MainPresenter& p) { p.Command1_Click(); }, answer},
        {"Enter", [](MainPresenter& p) { p.ProdSNText_KeyDown(key::kEnter, 0); }, answer},
        {"Shift+Enter", [](MainPresenter& p) { p.ProdSNText_KeyDown(key::kEnter, key::kShift); },
         answer},
        {"Ctrl+Alt+Enter",
         [](MainPresenter& p) { p.ProdSNText_KeyDown(key::kEnter, key::kCtrl | key::kAlt); },
         answer},
        {"another key", [](MainPresenter& p) { p.ProdSNText_KeyDown(65, 0); }, kNotice},
        {"Tab", [](MainPresenter& p) { p.ProdSNText_KeyDown(9, 0); }, kNotice},
        {"a change", [](MainPresenter& p) { p.ProdSNText_Change(); }, Text()},
    };
    for (const Case& c : cases) {
        m.view.texts[Control::ProdSNText] = u"UE0945";
        m.view.texts[Control::Label2] = kNotice;
        c.event(m.presenter);
        EXPECT_EQ(m.view.texts[Control::Label2], c.label2) << c.what;
        EXPECT_EQ(m.view.texts[Control::ProdSNText], u"UE0945") << c.what << " leaves the code";
    }
}

TEST(MainPresenter, EditsOfTheCodeBoxKeepTheFirstLineOfWhatWasPutIn) {
    Main m;
    const struct {
        Text after;
        std::size_t cursor;
        Text kept;
        std::size_t keptCursor;
    } steps[] = {
        {u"UE0945\r\n", 8, u"UE0945", 6}, // a paste with its line break
        {u"UE09\nxx45", 7, u"UE0945", 4}, // in the middle: the cursor after what stayed
        {u"UE0945a", 7, u"UE0945a", 7},   // typing
        {u"", 0, u"", 0},
        {u"\nUE0945", 7, u"", 0},
    };
    for (const auto& s : steps) {
        const BoxEdit e = m.presenter.ProdSNText_Edit(s.after, s.cursor);
        EXPECT_EQ(e.text, s.kept) << toUtf8(s.after);
        EXPECT_EQ(e.cursor, s.keptCursor) << toUtf8(s.after);
    }
}

TEST(MainPresenter, HelpWindowIsMadeOnceReloadedAfterCloseRaisedWhileOpen) {
    Main m;
    m.presenter.Form_Load();
    m.presenter.showCentred();
    EXPECT_EQ(m.presenter.help(), nullptr);
    m.presenter.Command2_Click();
    HelpPresenter* help = m.presenter.help();
    ASSERT_NE(help, nullptr);
    ASSERT_NE(m.help, nullptr);
    const std::vector<std::string> opening{"load", "picture Picture1", "show", "focus Command1"};
    EXPECT_EQ(m.help->calls, opening);
    EXPECT_EQ(m.help->texts[Control::Label1], form_text::helpText());
    EXPECT_EQ(m.help->picture, 100);

    m.help->texts[Control::Label1] = u"not loaded again";
    m.presenter.Command2_Click();
    EXPECT_EQ(m.presenter.help(), help);
    EXPECT_EQ(m.help->calls.back(), "raise");
    EXPECT_EQ(m.help->texts[Control::Label1], u"not loaded again");

    help->Command1_Click(); // OK
    EXPECT_EQ(m.help->calls.back(), "close");
    EXPECT_FALSE(help->isOpen());
    m.help->calls.clear();
    m.presenter.Command2_Click();
    EXPECT_EQ(m.presenter.help(), help) << "the same object";
    EXPECT_EQ(m.help->calls, opening);
    EXPECT_EQ(m.help->texts[Control::Label1], form_text::helpText());
}

TEST(MainPresenter, CommentWindowOpensEmptyKeepsItsTextWhileOpen) {
    Main m;
    m.presenter.Form_Load();
    m.presenter.showCentred();
    m.presenter.Command3_Click();
    CommentPresenter* comment = m.presenter.comment();
    ASSERT_NE(comment, nullptr);
    EXPECT_EQ(m.comment->calls, (std::vector<std::string>{"load", "show", "focus CommentText"}));
    m.comment->texts[Control::CommentText] = u"a\u2029b\nc";
    m.presenter.Command3_Click();
    EXPECT_EQ(m.comment->calls.back(), "raise");
    EXPECT_EQ(comment->comment(), u"a\r\nb\r\nc");
}

TEST(CommentPresenter, SendRefusesBlanksPostsAndClosesOnlyWhenDelivered) {
    struct Case {
        const char* what;
        Text typed;
        int status;
        Text title;
        bool closes;
        bool posted;
    };
    const Case cases[] = {
        {"blank", u" \u3000 ", 200, u"提示", false, false},
        {"delivered", u"镜头", 200, u"感谢", true, true},
        {"redirected", u"镜头", 302, u"感谢", true, true},
        {"not delivered", u"镜头", 500, u"发送失败", false, true},
    };
    for (const Case& c : cases) {
        FakeScript script = Main::noExchange();
        script.status = c.status;
        Main m(script);
        m.presenter.Command3_Click();
        m.calls.clear();
        m.comment->texts[Control::CommentText] = c.typed;
        m.presenter.comment()->Command1_Click();
        ASSERT_EQ(m.boxes.shown.size(), 1u) << c.what;
        EXPECT_EQ(m.boxes.shown[0].title, c.title) << c.what;
        EXPECT_EQ(m.comment->calls.back() == "close", c.closes) << c.what;
        EXPECT_EQ(m.presenter.comment()->isOpen(), !c.closes) << c.what;
        EXPECT_EQ(std::count(m.calls.begin(), m.calls.end(), "send CommentText=%BE%B5%CD%B7"),
                  c.posted ? 1 : 0)
            << c.what;
    }
}

TEST(MainPresenter, TheProcessEndsWithItsLastWindowWhicheverItIs) {
    struct Case {
        const char* order;
        std::vector<char> closing; // m(ain), h(elp), c(omment)
    };
    const Case cases[] = {
        {"main, help, comment", {'m', 'h', 'c'}},
        {"comment, main, help", {'c', 'm', 'h'}},
        {"help, comment, main", {'h', 'c', 'm'}},
    };
    for (const Case& c : cases) {
        Main m;
        m.presenter.Form_Load();
        m.presenter.showCentred();
        m.presenter.Command2_Click();
        m.presenter.Command3_Click();
        ASSERT_EQ(m.presenter.openWindows().count(), 3);
        for (std::size_t i = 0; i < c.closing.size(); ++i) {
            RecordingView* v = c.closing[i] == 'm'   ? &m.view
                               : c.closing[i] == 'h' ? m.help
                                                     : m.comment;
            v->close();
            v->close(); // a window closes once, however often it is told
            EXPECT_EQ(m.quits, i + 1 == c.closing.size() ? 1 : 0) << c.order << ", step " << i;
        }
    }
}

// An accepted update ends the process before the window is shown; when
// nothing could open it, the window shows first and the notice comes over it.
TEST(MainPresenter, AnAcceptedUpdateEndsTheProcessOrShowsTheWindowBeforeTheNotice) {
    FakeScript script;
    script.responseText = u"1.06[;]http://example.com/new.exe[;]2026-12-01[;]notes";
    using Calls = std::vector<std::string>;
    const Calls loaded{"load"}, shown{"load", "show", "focus ProdSNText"};
    for (const bool opens : {true, false}) {
        Main m(script);
        m.shell.openResult = opens;
        m.boxes.setNextAnswer(MessageAnswer::Ok);
        std::vector<Calls> viewAtBox;
        m.boxes.onShow = [&m, &viewAtBox] { viewAtBox.push_back(m.view.calls); };
        m.presenter.Form_Load();
        EXPECT_EQ(m.shell.opened, std::vector<std::string>{"http://example.com/new.exe"});
        EXPECT_EQ(m.shell.exits, opens ? 1 : 0);
        EXPECT_EQ(viewAtBox,
                  (opens ? std::vector<Calls>{loaded} : std::vector<Calls>{loaded, shown}))
            << opens;
        EXPECT_EQ(m.view.calls, opens ? loaded : shown);
        EXPECT_EQ(m.presenter.openWindows().count(), opens ? 0 : 1);
    }
}

// What the shells only carry out: which window the message boxes speak for
// (none before the main window shows, the comment window during its send),
// and which captions screen readers are told of (answers of a shown window,
// the same one again too; not the emptied label nor the start notice).
TEST(MainPresenter, SaysWhatIsAnnouncedAndWhomTheBoxesSpeakFor) {
    const auto answerTo = [](const Text& code) {
        return "Label2 " + toUtf8(LensQuery(RegionalSettings::zhCN()).Command1_Click(code));
    };
    const std::string answer = answerTo(u"UE0945");
    using Strings = std::vector<std::string>;
    struct Case {
        const char* what;
        std::function<void(Main&)> steps;
        Strings announced;
        bool mainSpeaks;
    };
    const auto query = [](Main& m) {
        m.view.texts[Control::ProdSNText] = u"UE0945";
        m.presenter.Command1_Click();
    };
    const auto load = [](Main& m) { m.presenter.Form_Load(); };
    const auto start = [](Main& m) {
        m.presenter.Form_Load();
        m.presenter.showCentred();
    };
    const Case cases[] = {
        {"loaded, not shown", load, {}, false},
        {"a query before the window shows",
         [&](Main& m) {
             load(m);
             query(m);
         },
         {},
         false},
        {"shown", start, {}, true},
        {"a query twice",
         [&](Main& m) {
             start(m);
             query(m);
             query(m);
         },
         {answer, answer},
         true},
        {"Enter on an empty box: the hint is an answer too",
         [&](Main& m) {
             start(m);
             m.presenter.ProdSNText_KeyDown(key::kEnter, 0);
         },
         {answerTo(Text())},
         true},
        {"a change",
         [&](Main& m) {
             start(m);
             query(m);
             m.presenter.ProdSNText_Change();
         },
         {answer},
         true},
        {"the help window opened",
         [&](Main& m) {
             start(m);
             m.presenter.Command2_Click();
         },
         {},
         true},
        {"main closed",
         [&](Main& m) {
             start(m);
             m.view.close();
         },
         {},
         false},
    };
    for (const Case& c : cases) {
        Main m;
        c.steps(m);
        EXPECT_EQ(m.view.announced, c.announced) << c.what;
        EXPECT_EQ(m.view.speaksForBoxes, c.mainSpeaks) << c.what;
        EXPECT_FALSE(m.help != nullptr && m.help->speaksForBoxes) << c.what;
    }

    // A send's boxes speak for the comment window, whichever way it goes;
    // then the main window's speak for it again, or none once it has closed.
    for (const bool mainOpen : {true, false}) {
        for (const int status : {200, 500}) {
            FakeScript script = Main::noExchange();
            script.status = status;
            Main m(script);
            start(m);
            m.presenter.Command3_Click();
            if (!mainOpen)
                m.view.close();
            std::vector<bool> commentSpoke, mainSpoke;
            m.boxes.onShow = [&] {
                commentSpoke.push_back(m.comment->speaksForBoxes);
                mainSpoke.push_back(m.view.speaksForBoxes);
            };
            m.comment->texts[Control::CommentText] = u"镜头";
            m.presenter.comment()->Command1_Click();
            EXPECT_EQ(commentSpoke, std::vector<bool>{true}) << status;
            EXPECT_EQ(mainSpoke, std::vector<bool>{false}) << status;
            EXPECT_FALSE(m.comment->speaksForBoxes) << status;
            EXPECT_EQ(m.view.speaksForBoxes, mainOpen) << status;
        }
    }
}

// Answers wait for the message boxes to close, then come one window at a
// time, in order, each announced as shown; the next follows when its
// predecessor closed.
TEST(AnswerPresenter, OneWindowPerAnswerInOrderNeverOverABox) {
    Main m;
    m.presenter.Form_Load();
    m.presenter.showCentred();
    std::vector<std::string> shown;
    m.presenter.setAnswerShown([&](const FetchedAnswer& a) { shown.push_back(a.record.number); });
    auto answer = [](const char* number, const char16_t* comment, const char16_t* text) {
        FetchedAnswer a;
        a.record.number = number;
        a.record.comment = comment;
        a.text = text;
        return a;
    };
    m.presenter.answersArrived({answer("7", u"镜头？", u"1990年"), answer("9", u"再问", u"好")});
    EXPECT_EQ(m.answer, nullptr); // a box may be open: nothing yet
    ASSERT_EQ(m.untilNoBox.size(), 1u);
    m.untilNoBox[0]();
    ASSERT_NE(m.answer, nullptr);
    EXPECT_EQ(m.answer->calls, (std::vector<std::string>{"load", "show", "focus AnswerText"}));
    EXPECT_EQ(m.answer->texts[Control::Window], form_text::kAnswerCaption);
    EXPECT_EQ(m.answer->texts[Control::CommentText], u"镜头？");
    EXPECT_EQ(m.answer->texts[Control::AnswerText], u"1990年");
    EXPECT_EQ(shown, std::vector<std::string>{"7"});
    EXPECT_EQ(m.presenter.openWindows().count(), 2);
    // More answers while one is shown wait for it.
    m.presenter.answersArrived({answer("11", u"三", u"三")});
    EXPECT_EQ(m.untilNoBox.size(), 1u);

    m.presenter.answer()->Command1_Click();
    EXPECT_EQ(m.answer->calls.back(), "close");
    EXPECT_EQ(m.presenter.openWindows().count(), 1);
    ASSERT_EQ(m.untilNoBox.size(), 2u);
    m.untilNoBox[1]();
    EXPECT_EQ(m.answer->texts[Control::AnswerText], u"好");
    m.presenter.answer()->Command1_Click();
    ASSERT_EQ(m.untilNoBox.size(), 3u);
    m.untilNoBox[2]();
    m.presenter.answer()->Command1_Click();
    EXPECT_EQ(shown, (std::vector<std::string>{"7", "9", "11"}));
    EXPECT_EQ(m.untilNoBox.size(), 3u); // none left to show
    EXPECT_EQ(m.quits, 0);
}
