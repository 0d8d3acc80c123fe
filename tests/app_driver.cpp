// Runs the real start-up path of the tool against a given server and plays one
// scenario on it, printing what happened. Used by app_process_test.
//   pelvoran_app_driver <base-address> <scenario>
// Scenarios: start, help-last, comment-last, accept-update, cancel-update.
#include "comment_form.h"
#include "help_form.h"
#include "pelvoran_app.h"
#include "pelvoran_form.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <string>

using namespace pelvoran;

namespace {

QElapsedTimer sinceStart;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

/// Answers the first message box that appears, after printing its title.
void answerMessageBox(QMessageBox::StandardButton button) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        poll->stop();
        say("box " + box->windowTitle().toStdString());
        box->button(button)->click();
        poll->deleteLater();
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
    int qtArgc = 1;
    options.beforeLoad = [&] {
        if (scenario == "accept-update")
            answerMessageBox(QMessageBox::Ok);
        else if (scenario == "cancel-update")
            answerMessageBox(QMessageBox::Cancel);
    };
    options.afterShow = [&](PelvoranForm& form) {
        say("shown " + std::to_string(sinceStart.elapsed()) + " ms");
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
    const int status = runPelvoran(qtArgc, argv, options);
    say("ended " + std::to_string(status));
    return status;
}
