#include "velmo/HeldQtMessages.h"

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace velmo {

namespace {

QtMessageHandler qtMessageHandler = nullptr;

struct HeldMessage {
    QtMsgType type;
    std::string category;
    QString text;
};
std::vector<HeldMessage> heldMessages;

void answerUnreachableDisplay(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg) {
        heldMessages.push_back({type, context.category ? context.category : "", message});
        return;
    }
    std::string given;
    for (const char* variable : {"WAYLAND_DISPLAY", "DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (!value || !*value) continue;
        given += (given.empty() ? "" : ", ") + std::string(variable) + "=" + value;
    }
    std::fprintf(stderr,
                 "Velmo needs a desktop to start: the display it was given%s cannot be reached, and no Velmo of "
                 "yours is running to take the files.\n",
                 given.empty() ? "" : (" (" + given + ")").c_str());
    std::fflush(stderr);
    std::_Exit(1);  // nothing of Velmo's runs yet: the kernel drops the lock
}

}  // namespace

void HeldQtMessages::hold() { qtMessageHandler = qInstallMessageHandler(answerUnreachableDisplay); }

void HeldQtMessages::release() {
    qInstallMessageHandler(qtMessageHandler);
    for (const auto& held : heldMessages) {
        const QMessageLogContext context(nullptr, 0, nullptr, held.category.c_str());
        if (qtMessageHandler) qtMessageHandler(held.type, context, held.text);
    }
    heldMessages.clear();
}

}  // namespace velmo
