#pragma once

#include "platform/text.h"

#include <QLabel>

namespace pelvoran {

/// A label that keeps its caption exactly as set (carriage returns and all)
/// and shows it wrapped within its box by the labels' shared line-breaking
/// rule, a carriage return starting a new line, and what does not fit cut
/// off at the bottom. Baselines are set
/// layout::lineStep() apart, as the Windows labels set them, so that the
/// answer's two lines fit the answer label's height.
class CaptionLabel final : public QLabel {
    Q_OBJECT
public:
    explicit CaptionLabel(QWidget* parent = nullptr);

    /// Shows the caption; the label's name changes with it, and is reported
    /// changed even when it repeats the one shown.
    void setCaption(const Text& caption);
    const Text& caption() const { return caption_; }
    /// Gives the label an invisible notification inside it, through which
    /// announce() reaches screen readers.
    void makeAnnouncer();
    /// Has screen readers speak `text`, whatever has the keyboard focus.
    void announce(const Text& text);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Text caption_;
    QWidget* announcer_ = nullptr;
};

} // namespace pelvoran
