// The question put to the user when a phone offers files: who sends, how many and how large,
// the first files, and the code to compare before answering. Shown in a floating panel.
#pragma once

#include "velmo/model/PromptPresenter.h"

#include <QDialog>
#include <QPointer>
#include <QWidget>

class QVBoxLayout;

namespace velmo {

class AppModel;

// The prompt over the model's pending request; empty while there is none.
class IncomingPromptView : public QWidget {
    Q_OBJECT
public:
    explicit IncomingPromptView(AppModel& model, QWidget* parent = nullptr);

private:
    void rebuild();
    AppModel& model_;
    QVBoxLayout* column_;
};

// The floating "Incoming files" panel: no close button; it goes away when the model dismisses it.
class IncomingPromptPanel : public QDialog {
    Q_OBJECT
public:
    explicit IncomingPromptPanel(AppModel& model);
    void reject() override {}
    IncomingPromptView* view() const { return view_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    IncomingPromptView* view_;
};

// Presents the panel for the model; one panel at a time.
class IncomingPromptPresenter : public PromptPresenter {
public:
    void present(AppModel& model) override;
    void dismiss() override;
    QDialog* panel() const { return panel_; }

private:
    QPointer<QDialog> panel_;
};

}  // namespace velmo
