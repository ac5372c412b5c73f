#pragma once

#include <QJsonObject>
#include <QStringView>
#include <string>

// Compact JSON text for answers, written straight from the object. Same
// meaning as QJsonDocument::toJson(Compact) (keys in the object's order,
// UTF-8, control characters escaped) at a fraction of its cost, which showed
// on every answer.
class JsonWriter
{
public:
    static std::string compact(const QJsonObject& object);
    // Appends `text` as a JSON string, quotes included.
    static void appendString(QStringView text, std::string* out);
};
