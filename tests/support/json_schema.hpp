// A validator for the part of JSON Schema (draft 2020-12) that the event schema in docs/ uses:
// type, const, enum, pattern, minimum, maximum, required, properties, additionalProperties
// (false), items, oneOf and local "$ref"s into "$defs". Any other keyword is reported as
// unsupported, so that the schema cannot outgrow the check silently.
#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace kavori::testing {

class JsonSchema {
 public:
  explicit JsonSchema(QJsonObject root) : root_(std::move(root)) {}

  // Empty when `value` is valid, else the first reason it is not.
  QString Check(const QJsonValue& value) const { return Check(value, root_, "$"); }

 private:
  static bool HasType(const QJsonValue& value, const QString& type) {
    if (type == "object") return value.isObject();
    if (type == "array") return value.isArray();
    if (type == "string") return value.isString();
    if (type == "boolean") return value.isBool();
    if (type == "null") return value.isNull();
    if (type == "number") return value.isDouble();
    if (type == "integer")
      return value.isDouble() && value.toDouble() == static_cast<double>(value.toInteger());
    return false;
  }

  QString Check(const QJsonValue& value, const QJsonObject& schema, const QString& where) const {
    static const QStringList kKnown{
        "$schema", "$id",     "title",    "description", "$defs",
        "$ref",    "type",    "const",    "enum",        "pattern",
        "minimum", "maximum", "required", "properties",  "additionalProperties",
        "items",   "oneOf"};
    for (const QString& key : schema.keys()) {
      if (!kKnown.contains(key)) return where + ": unsupported keyword " + key;
    }
    if (schema.contains("$ref")) {
      const QString ref = schema["$ref"].toString();
      if (!ref.startsWith("#/$defs/")) return where + ": unsupported $ref " + ref;
      const QJsonObject target = root_["$defs"].toObject()[ref.mid(8)].toObject();
      if (target.isEmpty()) return where + ": no definition " + ref;
      if (QString reason = Check(value, target, where); !reason.isEmpty()) return reason;
    }
    if (schema.contains("type")) {
      const QJsonValue type = schema["type"];
      const QJsonArray types = type.isArray() ? type.toArray() : QJsonArray{type};
      bool any = false;
      for (const QJsonValue& t : types) any = any || HasType(value, t.toString());
      if (!any) return where + ": not of type " + QJsonDocumentText(type);
    }
    if (schema.contains("const") && value != schema["const"])
      return where + ": not " + QJsonDocumentText(schema["const"]);
    if (schema.contains("enum") && !schema["enum"].toArray().contains(value))
      return where + ": not one of " + QJsonDocumentText(schema["enum"]);
    if (value.isString() && schema.contains("pattern") &&
        !QRegularExpression(schema["pattern"].toString()).match(value.toString()).hasMatch())
      return where + ": does not match " + schema["pattern"].toString();
    if (value.isDouble() && schema.contains("minimum") &&
        value.toDouble() < schema["minimum"].toDouble())
      return where + ": below the minimum";
    if (value.isDouble() && schema.contains("maximum") &&
        value.toDouble() > schema["maximum"].toDouble())
      return where + ": above the maximum";
    if (value.isObject()) {
      const QJsonObject object = value.toObject();
      for (const QJsonValue& name : schema["required"].toArray()) {
        if (!object.contains(name.toString())) return where + ": lacks " + name.toString();
      }
      const QJsonObject properties = schema["properties"].toObject();
      for (const QString& key : object.keys()) {
        if (properties.contains(key)) {
          if (QString reason = Check(object[key], properties[key].toObject(), where + "." + key);
              !reason.isEmpty())
            return reason;
        } else if (schema["additionalProperties"] == QJsonValue(false)) {
          return where + ": unexpected field " + key;
        }
      }
    }
    if (value.isArray() && schema.contains("items")) {
      const QJsonArray items = value.toArray();
      for (qsizetype k = 0; k < items.size(); ++k) {
        if (QString reason =
                Check(items[k], schema["items"].toObject(), where + "[" + QString::number(k) + "]");
            !reason.isEmpty())
          return reason;
      }
    }
    if (schema.contains("oneOf")) {
      int matches = 0;
      QStringList reasons;
      for (const QJsonValue& option : schema["oneOf"].toArray()) {
        const QString reason = Check(value, option.toObject(), where);
        if (reason.isEmpty())
          ++matches;
        else
          reasons << reason;
      }
      if (matches != 1)
        return where + ": matches " + QString::number(matches) + " of oneOf (" +
               reasons.join("; ") + ")";
    }
    return {};
  }

  static QString QJsonDocumentText(const QJsonValue& value) {
    return QString::fromUtf8(
        QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).chopped(1).mid(1));
  }

  QJsonObject root_;
};

}  // namespace kavori::testing
