// Shows the incoming-offer prompt: a floating panel titled "Incoming files" over the model's
// pending request. The view implements it; the model only presents and dismisses.
#pragma once

namespace velmo {

class AppModel;

class PromptPresenter {
public:
    virtual ~PromptPresenter() = default;
    // Shows the prompt for `model.incoming()`, replacing any prompt already shown.
    virtual void present(AppModel& model) = 0;
    // Hides the prompt; nothing when none is shown.
    virtual void dismiss() = 0;
};

// Shows nothing: until the view installs its own presenter, offers are only declined by
// their time-out or by the user's cancel.
class NoPromptPresenter : public PromptPresenter {
public:
    void present(AppModel&) override {}
    void dismiss() override {}
};

}  // namespace velmo
