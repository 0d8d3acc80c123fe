#pragma once
// The three windows on plain Win32 controls. Texts, layouts and the logic
// behind the buttons come from forms/, decode/ and net/; what is here is the
// wiring to the controls.

#include "decode/lens_query.h"
#include "forms/form_layout.h"
#include "net/comment_post.h"
#include "net/update_check.h"

#include <memory>
#include <string>
#include <vector>
#include <windows.h>

namespace pelvoran::win {

/// Message boxes through MessageBoxW: no icon, OK or OK and Cancel, OK the
/// default; modal for the whole thread.
class Win32MessageBoxes final : public MessageBoxes {
public:
    MessageAnswer show(const Text& message, const Text& title, MessageButtons buttons) override;
};

/// Registers the window classes. Call once before the first window.
void registerWindowClasses(HINSTANCE instance);

/// Counts the open windows of the process; the last one to close posts the
/// quit message.
int openWindowCount();

/// What every window of the tool shares: its window handle, its DPI and its
/// fonts. A closed window keeps the object; showing it again loads it afresh.
class Form {
public:
    virtual ~Form();
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    HWND hwnd() const { return hwnd_; }
    bool isOpen() const { return hwnd_ != nullptr; }
    /// Closes (unloads) the window: its controls go, the object stays.
    void close();

protected:
    Form() = default;

    /// Creates the window of `className`, its controls through createControls(),
    /// sized for the window's DPI, centred on the screen; not yet shown.
    void load(const wchar_t* className, const Text& caption, const layout::Twips& client,
              DWORD style, DWORD exStyle);
    /// Shows a loaded window and brings it to the front.
    void showAndActivate(HWND focus);
    /// Brings an open window to the front.
    void bringToFront();

    int dpi() const { return dpi_; }
    /// A child control at a place given in twips, in the font `face` of
    /// `points` points (GB2312 character set) at the window's DPI.
    HWND child(const wchar_t* className, const Text& text, DWORD style, int id,
               const layout::Twips& place, const wchar_t* face, double points, DWORD exStyle = 0);

    /// The window's own font ("宋体" 9 points unless set).
    void setWindowFont(const wchar_t* face, double points) {
        windowFace_ = face;
        windowPoints_ = points;
    }

    virtual void createControls() = 0;
    virtual LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    virtual void unloaded() {}

private:
    friend LRESULT CALLBACK formProc(HWND, UINT, WPARAM, LPARAM);
    HFONT font(const wchar_t* face, double points);
    void relayout(int newDpi, const RECT* suggested);
    void releaseFonts();

    HWND hwnd_ = nullptr;
    int dpi_ = 96;
    struct Placed {
        HWND control;
        layout::Twips place;
        const wchar_t* face;
        double points;
    };
    std::vector<Placed> placed_;
    struct FontEntry {
        std::wstring face;
        double points;
        HFONT font;
    };
    std::vector<FontEntry> fonts_;
    layout::Twips client_{};
    const wchar_t* windowFace_ = L"宋体";
    double windowPoints_ = layout::kDefaultFontPoints;
    DWORD style_ = 0;
    DWORD exStyle_ = 0;
};

/// The help window: the help text, the photograph, and OK.
class HelpForm final : public Form {
public:
    HelpForm() = default;
    ~HelpForm() override;
    /// Loads and shows the window, or brings an open one to the front.
    void showLoaded();

    HWND Label1 = nullptr;
    HWND Picture1 = nullptr;
    HWND Command1 = nullptr;
    /// The photograph while the window is loaded.
    HBITMAP picture() const { return bitmap_; }

private:
    void createControls() override;
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) override;
    void unloaded() override;
    void Form_Load();
    void Command1_Click();

    HBITMAP bitmap_ = nullptr;
};

/// The comment window: the comment box and the send button.
class CommentForm final : public Form {
public:
    explicit CommentForm(const Services& services) : post_(services) {}
    /// Shows the window, empty, if it is closed; an open window is only
    /// brought to the front and keeps its text.
    void showLoaded();
    /// The comment as typed, each line break as CR LF.
    Text comment() const;

    HWND CommentText = nullptr;
    HWND Command1 = nullptr;

private:
    void createControls() override;
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) override;
    void Command1_Click();

    CommentPost post_;
};

/// The main window: the code box, the query, the answer label, and the
/// buttons that open the help and comment windows, made on first use.
class PelvoranForm final : public Form {
public:
    explicit PelvoranForm(Services services);
    ~PelvoranForm() override;

    /// Sets the caption and the start notice and runs the update check. If
    /// the user accepts an update the process ends in here.
    void Form_Load();
    /// Shows the window centred on the screen with the focus in the code box.
    void showCentred();

    HelpForm* helpForm() const { return help_.get(); }
    CommentForm* commentForm() const { return comment_.get(); }

    HWND ProdSNText = nullptr;
    HWND Label1 = nullptr;
    HWND Command1 = nullptr;
    HWND Command2 = nullptr;
    HWND Label2 = nullptr;
    HWND Command3 = nullptr;

private:
    void createControls() override;
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) override;
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void ProdSNText_Change();
    void ProdSNText_KeyDown(int KeyCode, int Shift);

    Services services_;
    LensQuery query_;
    UpdateCheck update_;
    Text caption_;
    std::unique_ptr<HelpForm> help_;
    std::unique_ptr<CommentForm> comment_;
};

/// The text of a window or control.
Text windowText(HWND hwnd);

} // namespace pelvoran::win
