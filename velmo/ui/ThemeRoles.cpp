#include "velmo/ui/ThemeRoles.h"

#include "velmo/ui/ViewHelpers.h"

#include <QEvent>
#include <QWidget>
#include <algorithm>

namespace velmo {

namespace {

// Holds palette roles of one widget at theme colours. The roles are set again on every palette,
// style and theme change, not only when the appearance flips: a desktop may hand its own palette
// to each widget after it has switched the application's (qt6ct does), which would otherwise
// leave the desktop's colours in place. A window also clears such palettes from its plain
// descendants once the desktop is done, so they inherit the window's colours again.
class ThemeRoles : public QObject {
public:
    ThemeRoles(QWidget* widget, bool window) : QObject(widget), widget_(widget), window_(window) {
        widget->installEventFilter(this);
    }

    void add(const ThemeRoleColors& roles) {
        for (const auto& entry : roles) {
            const auto role = entry.first;
            const auto same = std::find_if(roles_.begin(), roles_.end(), [role](const auto& r) { return r.first == role; });
            if (same != roles_.end()) same->second = entry.second;
            else roles_.push_back(entry);
        }
        keep();
    }
    void markWindow() { window_ = true; }
    // The keeper of `widget`, if it has one.
    static ThemeRoles* of(const QWidget* widget) {
        for (QObject* child : widget->children())
            if (auto* keeper = dynamic_cast<ThemeRoles*>(child)) return keeper;
        return nullptr;
    }

    // Sets the roles when the widget's palette is not exactly them over what it inherits.
    void keep() {
        const Appearance now = currentAppearance();
        QPalette wanted;
        for (const auto& [role, color] : roles_) wanted.setColor(role, color.in(now));
        const QPalette current = widget_->palette();
        bool right = current.resolveMask() == wanted.resolveMask();
        for (const auto& [role, color] : roles_) right = right && current.color(role) == color.in(now);
        if (!right) widget_->setPalette(wanted);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
        case QEvent::ApplicationPaletteChange:
        case QEvent::PaletteChange:
        case QEvent::StyleChange:
        case QEvent::ThemeChange:
            keep();
            if (window_) settleDescendants();
            break;
        case QEvent::Show: keep(); break;
        default: break;
        }
        return false;
    }

private:
    // After the current round of events, when the desktop has reached every widget.
    void settleDescendants() {
        runOnceLater(this, settling_, [this] {
            for (QWidget* child : widget_->findChildren<QWidget*>()) {
                if (child->isWindow()) continue;
                if (ThemeRoles* own = of(child)) own->keep();
                else if (child->testAttribute(Qt::WA_SetPalette)) child->setPalette(QPalette());
            }
        });
    }

    QWidget* widget_;
    bool window_;
    bool settling_ = false;
    ThemeRoleColors roles_;
};

}  // namespace

void setThemeRoles(QWidget* widget, const ThemeRoleColors& roles, bool window) {
    ThemeRoles* keeper = ThemeRoles::of(widget);
    if (!keeper) keeper = new ThemeRoles(widget, window);
    else if (window) keeper->markWindow();
    keeper->add(roles);
}

}  // namespace velmo
