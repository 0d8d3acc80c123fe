// Runs the real start-up path of the tool against a given server and plays one
// scenario on it, printing what happened. Used by app_process_test and by the
// Orca and browser tests.
//   pelvoran_app_driver <base-address> <scenario>
// Scenarios: run (the tool as a user has it, until its windows close), start,
// help-last, comment-last, accept-update (OK on every box), cancel-update,
// and observe: every message box is reported and dismissed,
// and once the main window is up, a query and a comment are made to show the
// tool still works; the comment's line tells how long the send button held
// the tool and whether the comment window stayed open with its text.
// comments: every box is reported with its text and dismissed, then each
// comment in PELVORAN_DRIVER_COMMENTS (UTF-8, separated by 0x1E) is sent
// through the comment window.
// answers: every box is reported with its text and dismissed; each answer
// window is reported with its texts and closed by OK; after
// PELVORAN_DRIVER_ANSWERS of them, once the answer keys file holds
// PELVORAN_DRIVER_KEYS_LEFT records (a few seconds at most), the main window
// is closed.
#include "app/pelvoran_app.h"
#include "ui/answer_form.h"
#include "ui/caption_label.h"
#include "ui/comment_form.h"
#include "ui/help_form.h"
#include "ui/pelvoran_form.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

using namespace pelvoran;
using namespace Qt::StringLiterals;

namespace {

QElapsedTimer sinceStart;
/// Started as the update check begins: how long the check held the tool,
/// without the start-up before it (which a loaded machine stretches).
QElapsedTimer sinceCheck;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

/// Answers message boxes as they appear, after printing their titles (and
/// texts, line breaks as "\n"): the first one only, or every one (with Cancel where
/// there is one, else OK).
void answerMessageBox(QMessageBox::StandardButton button, bool every = false,
                      bool withText = false) {
    auto* poll = new QTimer(qApp); // goes with the application
    QObject::connect(poll, &QTimer::timeout, [poll, button, every, withText] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        if (!every)
            poll->stop();
        say("box " + box->windowTitle().toStdString() +
            (withText ? ": " + box->text().replace(u'\n', u"\\n"_s).toStdString() : ""));
        QAbstractButton* answer = box->button(button);
        (answer ? answer : box->button(QMessageBox::Ok))->click();
    });
    poll->start(20);
}

/// A query and a comment on the open main window.
void exercise(PelvoranForm& form) {
    form.ProdSNText->setText(u"UE0945"_s);
    form.Command1->click();
    const bool answered =
        form.Label2->caption() ==
        Text(u"日本宇都宫（Utsunomiya）工厂 出厂日期:1990年09月\r此结果仅供参考，谢谢");
    say(answered ? "query ok" : "query wrong");
    form.Command3->click();
    CommentForm* comment = form.commentForm();
    const QString text = u"hostile server"_s;
    comment->CommentText->setPlainText(text);
    QElapsedTimer posting;
    posting.start();
    comment->Command1->click(); // posts; the thanks or failure box is answered
    const qint64 ms = posting.elapsed();
    const bool open = comment->isVisible();
    say("comment " + std::to_string(ms) + " ms, window " + (open ? "open" : "closed") + ", text " +
        (comment->CommentText->toPlainText() == text ? "kept" : "gone"));
    if (open)
        comment->close();
}

/// Sends each comment of PELVORAN_DRIVER_COMMENTS through a comment window.
void sendComments(PelvoranForm& form) {
    const QStringList comments =
        QString::fromUtf8(qgetenv("PELVORAN_DRIVER_COMMENTS")).split(QChar(0x1E));
    for (const QString& text : comments) {
        form.Command3->click();
        CommentForm* comment = form.commentForm();
        comment->CommentText->setPlainText(text);
        comment->Command1->click(); // the thanks or failure box is answered
        say(comment->isVisible() ? "comment kept" : "comment sent");
        if (comment->isVisible())
            comment->close();
    }
}

/// The records in the answer keys file of the run's data folder.
int keysLeft() {
    const char* data = std::getenv("XDG_DATA_HOME");
    std::ifstream in(std::string(data ? data : "") + "/pelvoran/answer-keys");
    int lines = 0;
    for (std::string line; std::getline(in, line);)
        ++lines;
    return std::max(lines - 1, 0);
}

/// Reports and closes each answer window; after `count` of them, waits for
/// the keys file to hold `left` records and closes the main window.
void readAnswers(PelvoranForm& form, int count, int left) {
    auto* poll = new QTimer(qApp);
    auto seen = std::make_shared<int>(0);
    auto waited = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, [poll, &form, count, left, seen, waited] {
        AnswerForm* answer = form.answerForm();
        if (*seen < count) {
            if (answer == nullptr || !answer->isVisible())
                return;
            ++*seen;
            auto flat = [](QString s) { return s.replace(u'\n', u"\\n"_s).toStdString(); };
            say("answer " + answer->windowTitle().toStdString() + ": " +
                flat(answer->CommentText->toPlainText()) + " | " +
                flat(answer->AnswerText->toPlainText()) +
                (answer->focusWidget() == answer->AnswerText ? " (focus on the answer)" : ""));
            answer->Command1->click();
            return;
        }
        // The confirm runs on; at most 10 s for the keys to go.
        if (keysLeft() != left && ++*waited < 500)
            return;
        poll->stop();
        say("keys left " + std::to_string(keysLeft()));
        form.close();
    });
    poll->start(20);
}

} // namespace

int main(int argc, char** argv) {
    sinceStart.start();
    if (argc != 3) {
        std::fprintf(stderr, "usage: pelvoran_app_driver <base-address> <scenario>\n");
        return 2;
    }
    const std::string scenario = argv[2];
    AppOptions options;
    options.baseAddress = u16(argv[1]);
    // A test may shorten the requests' total limit (connect within it).
    if (const char* ms = std::getenv("PELVORAN_DRIVER_TOTAL_MS")) {
        options.httpLimits.totalTimeout = std::chrono::milliseconds(std::atoi(ms));
        options.httpLimits.connectTimeout =
            std::min(options.httpLimits.connectTimeout, options.httpLimits.totalTimeout);
    }
    // The public key offers are checked with: the test's, or none, whatever
    // key this build was given.
    const char* key = std::getenv("PELVORAN_DRIVER_UPDATE_KEY");
    options.updateKey = key != nullptr ? key : "";
    const char* answerKey = std::getenv("PELVORAN_DRIVER_ANSWER_KEY");
    options.answerKey = answerKey != nullptr ? answerKey : "";
    // ... and the time an opener still running may take to say it failed.
    if (const char* ms = std::getenv("PELVORAN_DRIVER_OPENER_MS"))
        options.openerWait = std::chrono::milliseconds(std::atoi(ms));
    options.beforeLoad = [&] {
        sinceCheck.start();
        if (scenario == "accept-update")
            answerMessageBox(QMessageBox::Ok, true);
        else if (scenario == "cancel-update")
            answerMessageBox(QMessageBox::Cancel);
        else if (scenario == "observe")
            answerMessageBox(QMessageBox::Cancel, true);
        else if (scenario == "comments" || scenario == "answers")
            answerMessageBox(QMessageBox::Cancel, true, true);
    };
    options.afterShow = [&](PelvoranForm& form) {
        say("shown " + std::to_string(sinceStart.elapsed()) + " ms, " +
            std::to_string(sinceCheck.elapsed()) + " ms after the check began");
        if (scenario == "run")
            return;
        if (scenario == "answers") {
            const char* count = std::getenv("PELVORAN_DRIVER_ANSWERS");
            const char* left = std::getenv("PELVORAN_DRIVER_KEYS_LEFT");
            readAnswers(form, count ? std::atoi(count) : 0, left ? std::atoi(left) : 0);
            return;
        }
        if (scenario == "observe" || scenario == "comments") {
            QTimer::singleShot(0, &form, [&form, scenario] {
                if (scenario == "comments")
                    sendComments(form);
                else
                    exercise(form);
                form.close();
            });
            return;
        }
        if (scenario == "start" || scenario.ends_with("-update")) {
            QTimer::singleShot(0, &form, [&form] { form.close(); });
            return;
        }
        const bool help = scenario == "help-last";
        (help ? form.Command2 : form.Command3)->click();
        QWidget* other = help ? static_cast<QWidget*>(form.helpForm())
                              : static_cast<QWidget*>(form.commentForm());
        QTimer::singleShot(100, &form, [&form] {
            form.close();
            say("main closed");
        });
        QTimer::singleShot(400, other, [other, help, &form] {
            say(std::string("still running, other window ") +
                (other->isVisible() ? "open" : "closed"));
            if (help)
                form.helpForm()->Command1->click(); // OK closes the last window
            else
                other->close();
        });
    };
    const int status = runPelvoran(options);
    say("ended " + std::to_string(status));
    return status;
}
