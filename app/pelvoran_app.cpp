#include "app/pelvoran_app.h"

#include "app/resources/pelvoran_icon.xpm"
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
#include <QPixmap>

using namespace Qt::StringLiterals;

namespace pelvoran {

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
    // Compiled in as XPM: read without probing any image plugin.
    QApplication::setWindowIcon(QIcon(QPixmap(pelvoran_icon_xpm)));
    installQtChineseTranslation();
    installChineseFontSubstitutes();
    useChineseDefaultFont();

    const HttpComponentRegistry registry = registryForAllClassNames(curlHttpRequestFactory());
    QtMessageBoxes messageBoxes;
    SystemShell shell;
    const Services services{
        registry,           messageBoxes, shell, &localNow, RegionalSettings::fromSystem(),
        options.baseAddress};

    PelvoranForm form(services);
    if (options.beforeLoad)
        options.beforeLoad();
    form.Form_Load(); // an accepted update ends the process in here
    form.showCentred();
    if (options.afterShow)
        options.afterShow(form);
    return app.exec();
}

} // namespace pelvoran
