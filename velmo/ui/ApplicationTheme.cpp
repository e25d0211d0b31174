#include "velmo/ui/ApplicationTheme.h"

#include "velmo/ui/ScrollBarStyle.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/ViewHelpers.h"

#include <QApplication>
#include <QEvent>
#include <QPalette>
#include <QScrollBar>
#include <QToolTip>

namespace velmo {

void ApplicationTheme::install() {
    static bool installed = false;
    if (installed || !qApp) return;
    installed = true;
    new ApplicationTheme(qApp);
}

QPalette ApplicationTheme::toolTipPalette() {
    QPalette palette = QToolTip::palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::ToolTipBase, colors::card);
        palette.setColor(group, QPalette::ToolTipText, colors::text);
        palette.setColor(group, QPalette::Window, colors::bg);
        palette.setColor(group, QPalette::WindowText, colors::text);
        palette.setColor(group, QPalette::Text, colors::text);
    }
    return palette;
}

ApplicationTheme::ApplicationTheme(QObject* application) : QObject(application), scrollBars_(new ScrollBarStyle) {
    scrollBars_->setParent(this);
    application->installEventFilter(this);
    for (QWidget* widget : QApplication::allWidgets()) style(widget);
    QToolTip::setPalette(toolTipPalette());
}

void ApplicationTheme::style(QObject* widget) {
    if (auto* bar = qobject_cast<QScrollBar*>(widget); bar && bar->style() != scrollBars_) bar->setStyle(scrollBars_);
}

void ApplicationTheme::followLater() {
    runOnceLater(this, pending_, [] { QToolTip::setPalette(toolTipPalette()); });
}

bool ApplicationTheme::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Polish: style(watched); break;
    case QEvent::ApplicationPaletteChange:
    case QEvent::ThemeChange:
    case QEvent::StyleChange: followLater(); break;
    default: break;
    }
    return false;
}

}  // namespace velmo
