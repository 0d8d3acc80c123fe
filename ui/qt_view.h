#pragma once

#include "present/view.h"

#include <QString>

#include <vector>

class QWidget;

namespace pelvoran {

/// The view side of a Qt window: the presenter's controls mapped onto the
/// window's widgets. Labels (CaptionLabel), line edits, plain-text edits and
/// picture labels are told apart by their kind.
class QtView final : public present::View {
public:
    struct Widget {
        present::Control control;
        QWidget* widget;
        /// What a label shows while the window is not loaded.
        QString unloaded = {};
    };

    QtView(QWidget& window, std::vector<Widget> widgets)
        : window_(window), widgets_(std::move(widgets)) {}

    /// Discards what the controls hold: closing a window unloads it.
    void unload();

    void load() override { unload(); }
    void show() override;
    void raise() override;
    void close() override;
    void focus(present::Control control) override;
    void setText(present::Control control, const Text& text) override;
    Text text(present::Control control) const override;
    std::size_t cursor(present::Control control) const override;
    void setPicture(present::Control control, int bitmapId) override;
    void announce(present::Control control, const Text& text) override;
    /// Qt's boxes are modal for the whole tool and centred on the screen, as
    /// its windows are: they take no owner.
    void speakForMessageBoxes(bool) override {}

private:
    QWidget* widget(present::Control control) const;

    QWidget& window_;
    std::vector<Widget> widgets_;
};

} // namespace pelvoran
