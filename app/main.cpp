#include "app/pelvoran_app.h"

// The tool reads no command line.
int main() {
    pelvoran::AppOptions options;
    options.baseAddress = pelvoran::u16(PELVORAN_SERVER_BASE);
    return pelvoran::runPelvoran(options);
}
