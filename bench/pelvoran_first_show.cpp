// The tool's real start-up path (update check included) against the given
// server; prints the time of the main window's first paint and exits.
//   pelvoran_first_show <base-address>
#include "app/pelvoran_app.h"
#include "bench/first_show.h"
#include "ui/pelvoran_form.h"

#include <memory>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    std::unique_ptr<FirstShow> watch;
    pelvoran::AppOptions options;
    options.baseAddress = pelvoran::u16(argv[1]);
    options.afterShow = [&](pelvoran::PelvoranForm& form) {
        watch = std::make_unique<FirstShow>(&form);
    };
    return pelvoran::runPelvoran(options);
}
