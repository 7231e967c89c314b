#pragma once
// One JSON object per frame or data-channel message, both ways. Parsing never throws and
// never trusts the peer: anything that is not a well-formed object is simply absent.

#include <QByteArray>
#include <QJsonObject>
#include <optional>

// The object in `bytes`, or nothing when they are not a JSON object (Qt's parser also refuses
// nesting deeper than it can handle).
std::optional<QJsonObject> parseJsonObject(const QByteArray& bytes);

// Compact UTF-8 JSON, or nothing when the object holds what JSON cannot carry faithfully
// (a lone UTF-16 surrogate in any string, a NaN or infinite number).
std::optional<QByteArray> serializeJson(const QJsonObject& object);
