#pragma once

#include "decode/lens_query.h"
#include "net/answer_keys.h"
#include "net/comment_post.h"
#include "net/update_check.h"
#include "present/view.h"

#include <deque>
#include <functional>
#include <memory>

namespace pelvoran::present {

/// The open windows of the process: how many there are (when the last one
/// closes, the process is told to end), and which one the message boxes speak
/// for.
class OpenWindows {
public:
    explicit OpenWindows(std::function<void()> lastClosed) : lastClosed_(std::move(lastClosed)) {}

    void opened() { ++count_; }
    void closed(View& view) {
        if (speaker_ == &view)
            boxesSpeakFor(nullptr);
        if (count_ > 0 && --count_ == 0 && lastClosed_)
            lastClosed_();
    }
    int count() const { return count_; }

    /// Has the message boxes speak for `view` (none for nullptr) from now on.
    void boxesSpeakFor(View* view) {
        if (view == speaker_)
            return;
        if (speaker_ != nullptr)
            speaker_->speakForMessageBoxes(false);
        speaker_ = view;
        if (speaker_ != nullptr)
            speaker_->speakForMessageBoxes(true);
    }
    View* boxesSpeakFor() const { return speaker_; }

private:
    std::function<void()> lastClosed_;
    int count_ = 0;
    View* speaker_ = nullptr;
};

/// What every window's presenter shares: whether its window is open, and the
/// process's count of open windows.
class WindowPresenter {
public:
    virtual ~WindowPresenter() = default;
    WindowPresenter(const WindowPresenter&) = delete;
    WindowPresenter& operator=(const WindowPresenter&) = delete;

    /// The main window's button for this window: an open window only comes to
    /// the front; a closed one is loaded afresh and shown.
    void open();
    /// The window has gone, by its own button or the user's close box.
    void closed();
    bool isOpen() const { return open_; }

protected:
    WindowPresenter(View& view, OpenWindows& windows) : view_(view), windows_(windows) {}

    /// Loads and shows the closed window.
    virtual void loadAndShow() = 0;
    /// Shows the loaded window and counts it open.
    void showLoaded(Control focus);
    /// `control` now shows `text`: screen readers read it out when it says
    /// something and the window is shown.
    void announce(Control control, const Text& text);
    /// The message boxes shown while `action` runs speak for this window.
    void speakingForBoxes(const std::function<void()>& action);
    /// Runs once the window has been closed and counted so.
    virtual void afterClosed() {}

    View& view_;

private:
    OpenWindows& windows_;
    bool open_ = false;
};

/// The help window: the help text, the photograph, and OK that closes it.
class HelpPresenter final : public WindowPresenter {
public:
    HelpPresenter(View& view, OpenWindows& windows) : WindowPresenter(view, windows) {}

    /// Puts the help text into the label and the photograph into the picture box.
    void Form_Load();
    /// OK: closes (unloads) the window.
    void Command1_Click();

private:
    void loadAndShow() override;
};

/// The comment window: the comment box, and the send button that posts it.
class CommentPresenter final : public WindowPresenter {
public:
    CommentPresenter(View& view, OpenWindows& windows, const Services& services)
        : WindowPresenter(view, windows), post_(services) {}

    /// The comment as it is posted: the box's text, each line break as CR LF.
    Text comment() const;
    /// Send: posts the comment, its message boxes speaking for this window; a
    /// delivered one closes the window.
    void Command1_Click();

private:
    void loadAndShow() override;

    CommentPost post_;
};

/// The answer window: the user's comment and the publisher's answer, as
/// plain text, and OK that closes it.
class AnswerPresenter final : public WindowPresenter {
public:
    AnswerPresenter(View& view, OpenWindows& windows) : WindowPresenter(view, windows) {}

    /// Loads the closed window with `answer` and shows it, the focus on the
    /// answer.
    void showAnswer(const FetchedAnswer& answer);
    /// OK: closes (unloads) the window.
    void Command1_Click();
    /// Runs each time the window has been closed.
    void setAfterClosed(std::function<void()> afterClosed) {
        afterClosed_ = std::move(afterClosed);
    }

private:
    void loadAndShow() override;
    void afterClosed() override;

    FetchedAnswer answer_;
    std::function<void()> afterClosed_;
};

/// The help, comment and answer windows, made by the shell when the main
/// window's presenter first asks for them. Each pointer holds the whole shell
/// window (its view with the presenter in it) and points at the presenter;
/// the window is kept to the end of the process.
struct WindowMakers {
    std::function<std::shared_ptr<HelpPresenter>(OpenWindows&)> help;
    std::function<std::shared_ptr<CommentPresenter>(OpenWindows&, const Services&)> comment;
    /// None: a shell that shows no answers.
    std::function<std::shared_ptr<AnswerPresenter>(OpenWindows&)> answer = {};
    /// Runs a function once no modal box of the tool is open (at once when
    /// none is): an answer window never comes over a box.
    std::function<void(std::function<void()>)> whenNoBoxOpen = {};
};

/// What a single-line box is to hold after an edit, and where its cursor goes.
struct BoxEdit {
    Text text;
    std::size_t cursor = 0;
};

/// The main window: the code box, the query, the answer label, and the buttons
/// that open the help and comment windows.
class MainPresenter final : public WindowPresenter {
public:
    /// `lastClosed` ends the process once no window of it is open any more.
    MainPresenter(View& view, Services services, WindowMakers makers,
                  std::function<void()> lastClosed);

    /// Caption, start notice, then the update check. If the user accepts an
    /// update the process ends in here; if nothing could open it, the window
    /// is shown before the notice that says so.
    void Form_Load();
    /// Shows the loaded window with the focus in the code box; from then on
    /// the message boxes speak for it.
    void showCentred();

    /// The query: the code box's text through the lens query into `Label2`.
    void Command1_Click();
    /// Opens the help window, made on first use.
    void Command2_Click();
    /// Opens the comment window, made on first use.
    void Command3_Click();
    /// Any change of the code box empties the answer.
    void ProdSNText_Change();
    /// A key went down in the code box: Enter (key::kEnter) queries, whatever
    /// the shift state.
    void ProdSNText_KeyDown(int KeyCode, int Shift);
    /// An edit of the code box turned its text into `after` with the cursor
    /// at `cursor`: of what the edit put in, only the first line stays, so a
    /// code pasted with a trailing line break arrives alone.
    BoxEdit ProdSNText_Edit(const Text& after, std::size_t cursor);

    /// Answers fetched for the user's comments: each is shown in an answer
    /// window of its own, one after the other in order, never over a message
    /// box; `shown` hears of each as its window opens.
    void answersArrived(std::vector<FetchedAnswer> answers);
    void setAnswerShown(std::function<void(const FetchedAnswer&)> shown) {
        answerShown_ = std::move(shown);
    }

    /// The help, comment and answer windows, or nullptr before their first use.
    HelpPresenter* help() const { return help_.get(); }
    CommentPresenter* comment() const { return comment_.get(); }
    AnswerPresenter* answer() const { return answer_.get(); }
    const OpenWindows& openWindows() const { return windows_; }

private:
    void loadAndShow() override { showCentred(); }
    /// Has the next waiting answer shown once no box is open, unless an
    /// answer window is open or already waits for that.
    void scheduleNextAnswer();
    void showNextAnswer();

    OpenWindows windows_;
    Services services_;
    WindowMakers makers_;
    LensQuery query_;
    UpdateCheck update_;
    Text lastCode_;
    std::shared_ptr<HelpPresenter> help_;
    std::shared_ptr<CommentPresenter> comment_;
    std::shared_ptr<AnswerPresenter> answer_;
    std::deque<FetchedAnswer> waitingAnswers_;
    bool answerScheduled_ = false;
    std::function<void(const FetchedAnswer&)> answerShown_;
};

/// What a shell's main window offers its callers, on top of its presenter:
/// the load and the first showing, and its help and comment windows (shell
/// classes `Help` and `Comment`, each holding its presenter), made on first
/// use through makers().
template <class Help, class Comment> class MainWindow {
public:
    virtual ~MainWindow() = default;

    /// Sets the caption and the start notice and runs the update check. If
    /// the user accepts an update the process ends in here.
    void Form_Load() { presenter().Form_Load(); }
    /// Shows the window centred on the screen with the focus in the code box.
    void showCentred() { presenter().showCentred(); }
    /// Answers fetched for the user's comments, to be shown one by one.
    void answersArrived(std::vector<FetchedAnswer> answers) {
        presenter().answersArrived(std::move(answers));
    }
    /// `shown` hears of each answer as its window opens.
    void setAnswerShown(std::function<void(const FetchedAnswer&)> shown) {
        presenter().setAnswerShown(std::move(shown));
    }

    /// The help and comment windows, or nullptr before their first use.
    Help* helpForm() const { return help_; }
    Comment* commentForm() const { return comment_; }

protected:
    virtual MainPresenter& presenter() = 0;

    /// Makers that build the shell's windows and note them for helpForm()
    /// and commentForm().
    WindowMakers makers() {
        return {[this](OpenWindows& windows) {
                    auto form = std::make_shared<Help>(windows);
                    help_ = form.get();
                    return std::shared_ptr<HelpPresenter>(form, &form->presenter());
                },
                [this](OpenWindows& windows, const Services& services) {
                    auto form = std::make_shared<Comment>(windows, services);
                    comment_ = form.get();
                    return std::shared_ptr<CommentPresenter>(form, &form->presenter());
                }};
    }

private:
    Help* help_ = nullptr;
    Comment* comment_ = nullptr;
};

} // namespace pelvoran::present
