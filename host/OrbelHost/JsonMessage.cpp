#include "OrbelHost/JsonMessage.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace {
bool representable(const QJsonValue& value);

bool representable(const QString& text)
{
    return text.isValidUtf16();
}

bool representable(const QJsonObject& object)
{
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!representable(it.key()) || !representable(it.value()))
            return false;
    return true;
}

bool representable(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::String: return representable(value.toString());
    case QJsonValue::Double: return std::isfinite(value.toDouble());
    case QJsonValue::Object: return representable(value.toObject());
    case QJsonValue::Array:
        for (const auto& item : value.toArray())
            if (!representable(item))
                return false;
        return true;
    default: return true;
    }
}
} // namespace

std::optional<QJsonObject> parseJsonObject(const QByteArray& bytes)
{
    QJsonParseError error;
    const auto document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QByteArray> serializeJson(const QJsonObject& object)
{
    if (!representable(object))
        return std::nullopt;
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
