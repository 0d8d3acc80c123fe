#include "ui/single_line.h"

#include "ui/qt_text.h"

#include <algorithm>

namespace pelvoran {

QValidator::State EditForwarder::validate(QString& input, int& pos) const {
    const present::BoxEdit kept = edit_(toText(input), static_cast<std::size_t>(std::max(pos, 0)));
    if (kept.text.size() != static_cast<std::size_t>(input.size())) {
        input = toQString(kept.text);
        pos = static_cast<int>(kept.cursor);
    }
    return Acceptable;
}

} // namespace pelvoran
