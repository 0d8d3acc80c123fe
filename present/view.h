#pragma once

#include "platform/text.h"

#include <cstddef>

namespace pelvoran::present {

/// A control of a window that a presenter addresses, by its name; `Window`
/// stands for the window itself (its caption).
enum class Control {
    Window,
    ProdSNText,
    Label1,
    Label2,
    Picture1,
    Command1,
    Command2,
    Command3,
    CommentText,
    AnswerText
};

/// A key that went down, as the shells report it to a presenter: its key code
/// and its shift state, both numbered as Windows numbers them.
namespace key {
inline constexpr int kEnter = 13;
inline constexpr int kShift = 1;
inline constexpr int kCtrl = 2;
inline constexpr int kAlt = 4;
} // namespace key

/// A window as its presenter sees it. The shells implement it: they create the
/// controls, draw them and forward their events; every decision is the
/// presenter's.
class View {
public:
    virtual ~View() = default;

    /// Creates the window with its controls in their initial state, centred,
    /// not yet shown. Only asked of a window that is not open.
    virtual void load() = 0;
    /// Shows the loaded window and brings it to the front.
    virtual void show() = 0;
    /// Brings the open window to the front.
    virtual void raise() = 0;
    /// Closes (unloads) the window; the shell then reports `closed` to the
    /// presenter, as it does when the user closes it.
    virtual void close() = 0;
    /// Gives a control the keyboard focus.
    virtual void focus(Control control) = 0;

    /// Sets the caption of the window or of a control.
    virtual void setText(Control control, const Text& text) = 0;
    /// The text of a control as the user left it.
    virtual Text text(Control control) const = 0;
    /// Where the text cursor stands in a text box, in code units.
    virtual std::size_t cursor(Control control) const = 0;
    /// Puts a bitmap of the program's resources into a picture box.
    virtual void setPicture(Control control, int bitmapId) = 0;

    /// Has screen readers read out `text`, which `control` now shows, whatever
    /// has the keyboard focus.
    virtual void announce(Control control, const Text& text) = 0;
    /// Whether the message boxes shown from now on speak for this window: it
    /// owns them and is active again when one closes. Boxes that speak for no
    /// window have no owner.
    virtual void speakForMessageBoxes(bool speak) = 0;
};

} // namespace pelvoran::present
