// HostController: the commands a phone sends on its control channel.

#include "OrbelHost/HostController.h"

void HostController::handleCommand(const QJsonObject& message, Peer& peer)
{
    const auto type = message.value(QStringLiteral("t"));
    if (!type.isString())
        return;
    if (type.toString() == QStringLiteral("screenshot-ui")) {
        // The desktop's screenshot tool answers the Print key.
        constexpr uint32_t kPrintKey = 99;
        input_->tap(kPrintKey, 0);
        return;
    }
    if (type.toString() == QStringLiteral("ime-next")) {
        inputSources_->selectNext();
        return;
    }
    if (type.toString() == QStringLiteral("ime-list")) {
        send(inputSources_->listMessage(), peer);
        return;
    }
    if (type.toString() == QStringLiteral("ime-select")) {
        const auto id = message.value(QStringLiteral("id"));
        if (id.isString())
            inputSources_->select(id.toString());
        return;
    }
    if (type.toString() == QStringLiteral("quality")) {
        if (!peer.sender)
            return;
        const auto level = message.value(QStringLiteral("level"));
        const bool low = level.isString() && level.toString() == QStringLiteral("low");
        applyQuality(low, *peer.sender);
        send({ { QStringLiteral("t"), QStringLiteral("toast") },
               { QStringLiteral("text"), low ? QStringLiteral("已切換省流量模式") : QStringLiteral("已恢復一般畫質") } },
             peer);
        return;
    }
    // The other commands belong to components that register for them.
    if (hooks.command)
        hooks.command(peer, message);
}
