// The question put to the user when a phone offers files: who sends, how many and how large,
// the first files, and the code to compare before answering. Shown in a floating panel.
#pragma once

#include "velmo/model/PromptPresenter.h"

#include <QDialog>
#include <QPointer>
#include <QElapsedTimer>
#include <QList>
#include <QTimer>
#include <QWidget>
#include <chrono>

class QVBoxLayout;

namespace velmo {

class AppModel;

// The prompt over the model's pending request; empty while there is none.
class IncomingPromptView : public QWidget {
    Q_OBJECT
public:
    explicit IncomingPromptView(AppModel& model, QWidget* parent = nullptr);
    // Draws Accept and Decline live or disabled, in the same size and place.
    void setAnswersEnabled(bool enabled);

private:
    void rebuild();
    AppModel& model_;
    QVBoxLayout* column_;
    bool answersEnabled_ = true;
    QList<QPointer<QWidget>> answers_;
};

// The floating "Incoming files" panel: no close button; it goes away when the model dismisses it,
// and it cannot be minimised out of reach. It takes no key and no click until it has been on the
// screen for `answerDelay`, and draws its answers disabled until then: a Return typed for
// another window as it appears answers nothing.
class IncomingPromptPanel : public QDialog {
    Q_OBJECT
public:
    IncomingPromptPanel(AppModel& model, std::chrono::milliseconds answerDelay);
    void reject() override {}
    IncomingPromptView* view() const { return view_; }
    bool takesAnswers() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Counts the delay anew from now, or stops counting while the panel is off the screen.
    void restartDelay(bool onScreen);
    IncomingPromptView* view_;
    std::chrono::milliseconds answerDelay_;
    QElapsedTimer onScreen_;  // since the panel last reached the screen
    QTimer* delayOver_;
};

// Presents the panel for the model; one panel at a time.
class IncomingPromptPresenter : public PromptPresenter {
public:
    // About the delay browsers put on their permission prompts.
    static constexpr std::chrono::milliseconds defaultAnswerDelay{1000};
    explicit IncomingPromptPresenter(std::chrono::milliseconds answerDelay = defaultAnswerDelay)
        : answerDelay_(answerDelay) {}
    // Nothing would close a panel left behind.
    ~IncomingPromptPresenter() override { dismiss(); }
    void present(AppModel& model) override;
    void dismiss() override;
    QDialog* panel() const { return panel_; }

private:
    std::chrono::milliseconds answerDelay_;
    QPointer<QDialog> panel_;
};

}  // namespace velmo
