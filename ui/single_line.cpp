#include "ui/single_line.h"

#include "forms/form_rules.h"
#include "ui/qt_text.h"

#include <algorithm>

namespace pelvoran {

QValidator::State FirstLineOnly::validate(QString& input, int& pos) const {
    const Text after = toText(input);
    Text kept = form_rule::keepFirstLineOfInsertion(last_, after,
                                                    static_cast<std::size_t>(std::max(pos, 0)));
    if (kept.size() != after.size()) {
        const int dropped = static_cast<int>(after.size() - kept.size());
        input = toQString(kept);
        pos = std::clamp(pos - dropped, 0, static_cast<int>(input.size()));
    }
    last_ = std::move(kept);
    return Acceptable;
}

} // namespace pelvoran
