#pragma once

#include "present/view.h"

#include <QString>

#include <vector>

class QWidget;

namespace pelvoran {

/// The view side of a Qt window: the presenter's parts mapped onto the
/// window's widgets. Labels (CaptionLabel), line edits, plain-text edits and
/// picture labels are told apart by their kind.
class QtView final : public present::View {
public:
    struct Control {
        present::Part part;
        QWidget* widget;
        /// What a label shows while the window is not loaded.
        QString unloaded = {};
    };

    QtView(QWidget& window, std::vector<Control> controls)
        : window_(window), controls_(std::move(controls)) {}

    /// Discards what the controls hold: closing a window unloads it.
    void unload();

    void load() override { unload(); }
    void show() override;
    void raise() override;
    void close() override;
    void focus(present::Part part) override;
    void setText(present::Part part, const Text& text) override;
    Text text(present::Part part) const override;
    std::size_t cursor(present::Part part) const override;
    void setPicture(present::Part part, int bitmapId) override;

private:
    QWidget* widget(present::Part part) const;

    QWidget& window_;
    std::vector<Control> controls_;
};

} // namespace pelvoran
