#include "jsontext.h"

#include <QtCore/QDebug>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>

#include <cmath>
#include <limits>

namespace {

QVariant toVariant(const QJsonValue &json)
{
    switch (json.type()) {
    case QJsonValue::Double: {
        const double number = json.toDouble();
        double whole = 0;
        // Beyond 2^53 a double no longer holds every whole number, so it stays a double.
        if (std::modf(number, &whole) != 0.0 || std::fabs(number) > 9007199254740992.0)
            return number;
        if (number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max())
            return int(number);
        return qlonglong(number);
    }
    case QJsonValue::Array: {
        QVariantList list;
        for (const QJsonValue &item : json.toArray())
            list.append(toVariant(item));
        return list;
    }
    case QJsonValue::Object: {
        QVariantMap map;
        const QJsonObject object = json.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            map.insert(it.key(), toVariant(it.value()));
        return map;
    }
    default:
        return json.toVariant();
    }
}

bool hasJsonForm(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Float:
    case QMetaType::Double:
    case QMetaType::QString:
    case QMetaType::QStringList:
        return true;
    case QMetaType::QVariantList:
        for (const QVariant &item : value.toList()) {
            if (!hasJsonForm(item))
                return false;
        }
        return true;
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash:
        for (const QVariant &item : value.toMap()) {
            if (!hasJsonForm(item))
                return false;
        }
        return true;
    default:
        return false;
    }
}

} // namespace

bool JsonText::parse(const QString &text, QVariant *value)
{
    // QJsonDocument reads only arrays and objects, so a scalar is read as a one-item array.
    QJsonParseError error;
    const QJsonDocument document
        = QJsonDocument::fromJson(QStringLiteral("[%1]").arg(text).toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || document.array().size() != 1)
        return false;
    *value = toVariant(document.array().first());
    return true;
}

QString JsonText::format(const QVariant &value)
{
    if (!hasJsonForm(value)) {
        QString text;
        QDebug(&text).nospace() << value;
        return text;
    }
    const QByteArray wrapped = QJsonDocument(QJsonArray { QJsonValue::fromVariant(value) })
                                   .toJson(QJsonDocument::Compact);
    return QString::fromUtf8(wrapped.mid(1, wrapped.size() - 2));
}
