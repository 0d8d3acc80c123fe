#pragma once

#include "platform/text.h"

#include <QLabel>

namespace pelvoran {

/// A label that keeps its caption exactly as set (carriage returns and all)
/// and shows it wrapped within its box, a carriage return starting a new
/// line, and what does not fit cut off at the bottom. Lines are set one
/// pixel apart from the font's size, as the Song typefaces of the original
/// layout are, so that the texts fit the boxes they were laid out for.
class CaptionLabel final : public QLabel {
    Q_OBJECT
public:
    explicit CaptionLabel(QWidget* parent = nullptr);

    void setCaption(const Text& caption);
    const Text& caption() const { return caption_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Text caption_;
};

} // namespace pelvoran
