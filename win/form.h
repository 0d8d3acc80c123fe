#pragma once
// What the three Win32 windows share: the window, its controls placed in
// twips at the window's DPI, their fonts, and the view that the window's
// presenter talks to. Each window adds its controls and forwards its events.

#include "forms/form_layout.h"
#include "present/view.h"
#include "win/controls.h"

#include <functional>
#include <string>
#include <vector>
#include <windows.h>

namespace pelvoran::win {

/// Registers the window classes. Call once before the first window.
void registerWindowClasses(HINSTANCE instance);

/// How a window looks: its class, caption, client area and styles.
struct FormStyle {
    const wchar_t* className;
    Text caption;
    layout::Twips client;
    DWORD style;
    DWORD exStyle = 0;
    /// The window's own font ("宋体" 9 points unless set).
    const wchar_t* face = L"宋体";
    double points = layout::kDefaultFontPoints;
    /// No title bar: the window is dragged by its body.
    bool draggedByBody = false;
};

/// A window of the tool. A closed window keeps the object; loading it again
/// creates the window and its controls afresh.
class Form : public present::View {
public:
    ~Form() override;
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    HWND hwnd() const { return hwnd_; }
    bool isOpen() const { return hwnd_ != nullptr; }
    /// A control of the loaded window, nullptr when it is closed.
    HWND control(present::Control which) const;
    /// The picture box's bitmap while the window is loaded.
    HBITMAP picture() const { return picture_; }

    /// Closes (unloads) the window: its controls go, the object stays.
    void close() override;

protected:
    explicit Form(FormStyle style) : style_(std::move(style)) {}

    // The view, as the window's presenter asks it.
    void load() override;
    void show() override;
    void focus(present::Control which) override;
    void raise() override;
    void setPicture(present::Control which, int bitmapId) override;
    void setText(present::Control which, const Text& text) override;
    Text text(present::Control which) const override;
    std::size_t cursor(present::Control which) const override;
    void announce(present::Control which, const Text& text) override;
    void speakForMessageBoxes(bool speak) override;

    /// A child control at a place given in twips, in the font `face` of
    /// `points` points (GB2312 character set) at the window's DPI. Labels
    /// (SS_LEFT statics) wrap their text by the shared rule.
    HWND child(present::Control which, const wchar_t* className, const Text& text, DWORD style,
               const layout::Twips& place, Keys keys, const wchar_t* face = L"宋体",
               double points = layout::kDefaultFontPoints, DWORD exStyle = 0);
    /// Runs `action` when the control sends `notification` in WM_COMMAND.
    void on(HWND control, WORD notification, std::function<void()> action);

    virtual void createControls() = 0;
    /// Messages of the window's own, before the shared handling.
    virtual bool handle(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    /// The window has gone (by its button, the close box or the program).
    virtual void closed() = 0;

private:
    friend LRESULT CALLBACK formProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT dispatch(UINT message, WPARAM wParam, LPARAM lParam);
    HFONT font(const wchar_t* face, double points);
    void relayout(int newDpi, const RECT* suggested);
    void discard();

    FormStyle style_;
    HWND hwnd_ = nullptr;
    /// The control that had the focus when the window was last deactivated.
    HWND focused_ = nullptr;
    int dpi_ = 96;
    HBITMAP picture_ = nullptr;
    struct Placed {
        present::Control name;
        HWND control;
        layout::Twips place;
        const wchar_t* face;
        double points;
    };
    std::vector<Placed> placed_;
    struct Command {
        HWND control;
        WORD notification;
        std::function<void()> action;
    };
    std::vector<Command> commands_;
    struct FontEntry {
        std::wstring face;
        double points;
        HFONT font;
    };
    std::vector<FontEntry> fonts_;
};

} // namespace pelvoran::win
