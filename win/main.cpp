// Pelvoran.exe: start-up on the main window, the message loop, and the end
// when the last window has closed.
#include "net/answer_inbox.h"
#include "net/http_acquisition.h"
#include "net/update_check.h"
#include "net/wire.h"
#include "platform/clock.h"
#include "platform/version.h"
#include "platform/winhttp/winhttp_request.h"
#include "win/comment_form.h"
#include "win/help_form.h"
#include "win/message_boxes.h"
#include "win/pelvoran_form.h"
#include "win/ui_queue.h"

#ifndef PELVORAN_SERVER_BASE
#error "PELVORAN_SERVER_BASE names the publisher's web server"
#endif
// The public key offers must be signed by: the build's own, unless this
// executable is built with another (the test builds).
#ifndef PELVORAN_UPDATE_KEY_TEXT
#define PELVORAN_UPDATE_KEY_TEXT kUpdateKey
#endif
// The same for the key the publisher's answers must be signed by.
#ifndef PELVORAN_ANSWER_KEY_TEXT
#define PELVORAN_ANSWER_KEY_TEXT kAnswerKey
#endif

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using namespace pelvoran;
    // The update question goes out before any window is made, and its answer
    // comes in while they are: CheckUpdate, the last step of Form_Load, takes
    // that exchange and waits for what is still to come.
    const RegionalSettings regional = RegionalSettings::fromSystem();
    const Text base = u16(PELVORAN_SERVER_BASE);
    HttpRequestFactory requests;
    try {
        requests = winHttpRequestFactorySendingAhead(base + Text(wire::kUpdatePath.text()) +
                                                     Text(wire::kUpdateQuery.text()) +
                                                     regional.formatDateTime(localNow()));
    } catch (const std::exception&) {
        requests = winHttpRequestFactory(); // the check sends its question itself
    }
    const HttpComponentRegistry registry = registryForAllClassNames(requests);
    win::registerWindowClasses(instance);
    win::Win32MessageBoxes messageBoxes;
    SystemShell shell;
    const std::unique_ptr<AnswerKeyFile> answerKeys = userAnswerKeyFile();
    const Services services{registry,
                            messageBoxes,
                            shell,
                            &localNow,
                            regional,
                            base,
                            PELVORAN_UPDATE_KEY_TEXT,
                            answerKeys.get(),
                            PELVORAN_ANSWER_KEY_TEXT};

    // The answers to the user's comments are fetched and confirmed off the
    // user-interface thread; what they find comes back through its queue.
    win::UiQueue ui;
    AnswerInbox inbox(services, [&ui](std::function<void()> run) { ui.post(std::move(run)); });
    win::PelvoranForm form(services);
    form.setAnswerShown([&inbox](const FetchedAnswer& answer) { inbox.confirm(answer); });
    form.Form_Load(); // an accepted update ends the process in here
    form.showCentred();
    inbox.start(
        [&form](std::vector<FetchedAnswer> answers) { form.answersArrived(std::move(answers)); });
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // Closed while an exchange still runs: the process ends at once rather
    // than wait for it. Nothing is written before an exchange completes, so
    // the keys stay as they were.
    if (inbox.busy())
        shell.exitNow();
    return 0;
}
