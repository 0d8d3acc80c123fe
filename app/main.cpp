#include "app/pelvoran_app.h"

// The tool reads no command line.
int main() {
    return pelvoran::runPelvoran({pelvoran::u16(PELVORAN_SERVER_BASE), {}, {}, {}});
}
