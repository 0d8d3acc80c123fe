#pragma once

#include "text.h"

#include <QLabel>

namespace pelvoran {

/// A label that keeps its caption exactly as set (carriage returns and all)
/// and shows it wrapped within its box, a carriage return starting a new
/// line, and what does not fit cut off at the bottom.
class CaptionLabel final : public QLabel {
    Q_OBJECT
public:
    explicit CaptionLabel(QWidget* parent = nullptr);

    void setCaption(const Text& caption);
    const Text& caption() const { return caption_; }

private:
    Text caption_;
};

} // namespace pelvoran
