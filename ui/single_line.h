#pragma once

#include "platform/text.h"

#include <QValidator>

namespace pelvoran {

/// For a single-line box: of whatever an edit puts in (typing, pasting,
/// dropping, the selection's middle click), only the first line is kept.
class FirstLineOnly final : public QValidator {
    Q_OBJECT
public:
    using QValidator::QValidator;

    State validate(QString& input, int& pos) const override;

private:
    /// The box's text after the last edit.
    mutable Text last_;
};

} // namespace pelvoran
