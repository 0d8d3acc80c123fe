#include "app/pelvoran_app.h"

int main(int argc, char** argv) {
    return pelvoran::runPelvoran(argc, argv, {pelvoran::u16(PELVORAN_SERVER_BASE), {}, {}});
}
