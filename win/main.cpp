// Pelvoran.exe: start-up on the main window, the message loop, and the end
// when the last window has closed.
#include "net/http_acquisition.h"
#include "platform/clock.h"
#include "platform/winhttp/winhttp_request.h"
#include "win/comment_form.h"
#include "win/help_form.h"
#include "win/message_boxes.h"
#include "win/pelvoran_form.h"

#ifndef PELVORAN_SERVER_BASE
#error "PELVORAN_SERVER_BASE names the publisher's web server"
#endif

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using namespace pelvoran;
    win::registerWindowClasses(instance);
    const HttpComponentRegistry registry = registryForAllClassNames(winHttpRequestFactory());
    win::Win32MessageBoxes messageBoxes;
    SystemShell shell;
    const Services services{registry,
                            messageBoxes,
                            shell,
                            &localNow,
                            RegionalSettings::fromSystem(),
                            u16(PELVORAN_SERVER_BASE)};

    win::PelvoranForm form(services);
    form.Form_Load(); // an accepted update ends the process in here
    form.showCentred();
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
