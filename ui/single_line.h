#pragma once

#include "present/presenters.h"

#include <QLineEdit>
#include <QValidator>

#include <functional>

namespace pelvoran {

/// Hands every edit of a single-line box (typing, pasting, dropping, the
/// selection's middle click) to the presenter, and shows what it keeps.
class EditForwarder final : public QValidator {
    Q_OBJECT
public:
    using Edit = std::function<present::BoxEdit(const Text& after, std::size_t cursor)>;

    EditForwarder(Edit edit, QObject* parent) : QValidator(parent), edit_(std::move(edit)) {}

    State validate(QString& input, int& pos) const override;

private:
    Edit edit_;
};

/// A single-line box whose face to screen readers always answers. Qt's own
/// one loops forever when asked for the word, sentence or line at the end of
/// the text, as Orca asks when the cursor stands there.
class LineBox final : public QLineEdit {
    Q_OBJECT
public:
    explicit LineBox(QWidget* parent);
};

} // namespace pelvoran
