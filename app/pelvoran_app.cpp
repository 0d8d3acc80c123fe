#include "app/pelvoran_app.h"

#include "net/answer_inbox.h"
#include "net/http_acquisition.h"
#include "platform/clock.h"
#include "platform/curl/curl_http_request.h"
#include "platform/desktop.h"
#include "ui/fonts.h"
#include "ui/pelvoran_form.h"
#include "ui/qt_message_boxes.h"
#include "ui/translation.h"

#include <QApplication>
#include <QIcon>

using namespace Qt::StringLiterals;

namespace pelvoran {

namespace {

/// The tool's icon at each size it is drawn at.
QIcon windowIcon() {
    // PNG is read by Qt itself, without any image plugin. Each file gives its
    // own size, so the icon offers what the files hold.
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(u":/pelvoran/pelvoran-%1.png"_s.arg(size));
    return icon;
}

} // namespace

int runPelvoran(const AppOptions& options) {
    // Qt reads its options from the arguments it is given: give it none.
    static char name[] = "pelvoran";
    static char* argv[] = {name, nullptr};
    static int argc = 1;
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Pelvoran"_s);
    QApplication::setDesktopFileName(u"pelvoran"_s);
    // The main window's presenter ends the run when the last window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(windowIcon());
    installQtChineseTranslation();
    installChineseFontSubstitutes();
    useChineseDefaultFont();

    const HttpComponentRegistry registry =
        registryForAllClassNames(curlHttpRequestFactory(options.httpLimits));
    QtMessageBoxes messageBoxes;
    SystemShell shell(options.openerWait);
    const std::unique_ptr<AnswerKeyFile> answerKeys = userAnswerKeyFile();
    const Services services{registry,
                            messageBoxes,
                            shell,
                            &localNow,
                            RegionalSettings::fromSystem(),
                            options.baseAddress,
                            options.updateKey,
                            answerKeys.get(),
                            options.answerKey};

    // The answers to the user's comments are fetched and confirmed off the
    // user-interface thread; what they find comes back through its queue.
    AnswerInbox inbox(services, [](std::function<void()> run) {
        QMetaObject::invokeMethod(qApp, std::move(run), Qt::QueuedConnection);
    });
    PelvoranForm form(services);
    form.setAnswerShown([&inbox](const FetchedAnswer& answer) { inbox.confirm(answer); });
    if (options.beforeLoad)
        options.beforeLoad();
    form.Form_Load(); // an accepted update ends the process in here
    form.showCentred();
    inbox.start(
        [&form](std::vector<FetchedAnswer> answers) { form.answersArrived(std::move(answers)); });
    if (options.afterShow)
        options.afterShow(form);
    const int status = app.exec();
    // Closed while an exchange still runs: the process ends at once rather
    // than wait for it. Nothing is written before an exchange completes, so
    // the keys stay as they were.
    if (inbox.busy())
        shell.exitNow();
    return status;
}

} // namespace pelvoran
