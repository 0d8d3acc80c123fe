#include "present/presenters.h"

#include "forms/form_layout.h"
#include "forms/form_rules.h"
#include "forms/form_texts.h"

#include <algorithm>

namespace pelvoran::present {

void WindowPresenter::open() {
    if (open_) {
        view_.raise();
        return;
    }
    loadAndShow();
}

void WindowPresenter::showLoaded(Control focus) {
    view_.show();
    view_.focus(focus);
    if (!open_) {
        open_ = true;
        windows_.opened();
    }
}

void WindowPresenter::closed() {
    if (!open_)
        return;
    open_ = false;
    windows_.closed(view_);
    afterClosed();
}

void WindowPresenter::announce(Control control, const Text& text) {
    // Neither the emptied label nor what a hidden window shows is news; every
    // answer is, the same one again too.
    if (open_ && !text.empty())
        view_.announce(control, text);
}

void WindowPresenter::speakingForBoxes(const std::function<void()>& action) {
    View* const before = windows_.boxesSpeakFor();
    windows_.boxesSpeakFor(&view_);
    action();
    windows_.boxesSpeakFor(before);
}

// ---------------------------------------------------------------------------
// The help window

void HelpPresenter::loadAndShow() {
    view_.load();
    Form_Load();
    showLoaded(Control::Command1);
}

void HelpPresenter::Form_Load() {
    view_.setText(Control::Label1, form_text::helpText());
    view_.setPicture(Control::Picture1, layout::help_window::kBitmapId);
}

void HelpPresenter::Command1_Click() {
    view_.close();
}

// ---------------------------------------------------------------------------
// The comment window

void CommentPresenter::loadAndShow() {
    view_.load(); // no load handler: the box starts empty
    post_.newComment();
    showLoaded(Control::CommentText);
}

Text CommentPresenter::comment() const {
    return form_rule::commentWithCrLf(view_.text(Control::CommentText));
}

void CommentPresenter::Command1_Click() {
    bool delivered = false;
    speakingForBoxes([&] { delivered = post_.Command1_Click(comment()); });
    if (delivered)
        view_.close();
}

// ---------------------------------------------------------------------------
// The answer window

void AnswerPresenter::showAnswer(const FetchedAnswer& answer) {
    answer_ = answer;
    open();
}

void AnswerPresenter::loadAndShow() {
    view_.load();
    view_.setText(Control::Window, form_text::kAnswerCaption);
    view_.setText(Control::CommentText, answer_.record.comment);
    view_.setText(Control::AnswerText, answer_.text);
    showLoaded(Control::AnswerText);
}

void AnswerPresenter::Command1_Click() {
    view_.close();
}

void AnswerPresenter::afterClosed() {
    if (afterClosed_)
        afterClosed_();
}

// ---------------------------------------------------------------------------
// The main window

MainPresenter::MainPresenter(View& view, Services services, WindowMakers makers,
                             std::function<void()> lastClosed)
    : WindowPresenter(view, windows_), windows_(std::move(lastClosed)),
      services_(std::move(services)), makers_(std::move(makers)), query_(services_.regional),
      update_(services_, [this] { showCentred(); }) {}

void MainPresenter::Form_Load() {
    view_.load();
    view_.setText(Control::Window, form_text::mainCaption(services_.regional));
    view_.setText(Control::Label2, form_text::kStartNotice);
    update_.CheckUpdate(); // an accepted update ends the process in here
}

void MainPresenter::showCentred() {
    showLoaded(Control::ProdSNText);
    windows_.boxesSpeakFor(&view_);
}

void MainPresenter::Command1_Click() {
    const Text answer = query_.Command1_Click(view_.text(Control::ProdSNText));
    view_.setText(Control::Label2, answer);
    announce(Control::Label2, answer);
}

void MainPresenter::Command2_Click() {
    if (!help_)
        help_ = makers_.help(windows_);
    help_->open();
}

void MainPresenter::Command3_Click() {
    if (!comment_)
        comment_ = makers_.comment(windows_, services_);
    comment_->open();
}

void MainPresenter::answersArrived(std::vector<FetchedAnswer> answers) {
    if (!makers_.answer)
        return;
    for (FetchedAnswer& a : answers)
        waitingAnswers_.push_back(std::move(a));
    scheduleNextAnswer();
}

void MainPresenter::scheduleNextAnswer() {
    if (waitingAnswers_.empty() || answerScheduled_ || (answer_ && answer_->isOpen()))
        return;
    answerScheduled_ = true;
    auto next = [this] {
        answerScheduled_ = false;
        showNextAnswer();
    };
    if (makers_.whenNoBoxOpen)
        makers_.whenNoBoxOpen(next);
    else
        next();
}

void MainPresenter::showNextAnswer() {
    if (waitingAnswers_.empty() || (answer_ && answer_->isOpen()))
        return;
    if (!answer_) {
        answer_ = makers_.answer(windows_);
        answer_->setAfterClosed([this] { scheduleNextAnswer(); });
    }
    const FetchedAnswer next = std::move(waitingAnswers_.front());
    waitingAnswers_.pop_front();
    answer_->showAnswer(next);
    if (answerShown_)
        answerShown_(next);
}

void MainPresenter::ProdSNText_Change() {
    view_.setText(Control::Label2, Text());
}

void MainPresenter::ProdSNText_KeyDown(int KeyCode, int /*Shift*/) {
    if (KeyCode == key::kEnter)
        Command1_Click();
}

BoxEdit MainPresenter::ProdSNText_Edit(const Text& after, std::size_t cursor) {
    BoxEdit edit{form_rule::keepFirstLineOfInsertion(lastCode_, after, cursor), cursor};
    const std::size_t dropped = after.size() - edit.text.size();
    edit.cursor = std::min(cursor > dropped ? cursor - dropped : 0, edit.text.size());
    lastCode_ = edit.text;
    return edit;
}

} // namespace pelvoran::present
