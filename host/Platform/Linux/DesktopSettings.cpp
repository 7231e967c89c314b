#include "Platform/Linux/DesktopSettings.h"

#include "Platform/Linux/GLibRefs.h"

namespace {
using SettingsRef = glib::Settings;
using VariantRef = glib::Variant;

// The settings of `schema` when it is installed and has `key` of `type`.
SettingsRef open(const char* schema, const char* key, const char* type)
{
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* found = source ? g_settings_schema_source_lookup(source, schema, TRUE) : nullptr;
    if (!found)
        return nullptr;
    bool usable = false;
    if (g_settings_schema_has_key(found, key)) {
        GSettingsSchemaKey* entry = g_settings_schema_get_key(found, key);
        usable = g_variant_type_equal(g_settings_schema_key_get_value_type(entry), G_VARIANT_TYPE(type));
        g_settings_schema_key_unref(entry);
    }
    g_settings_schema_unref(found);
    return usable ? SettingsRef(g_settings_new(schema)) : nullptr;
}
} // namespace

std::optional<bool> desktop_settings::readBool(const char* schema, const char* key)
{
    const SettingsRef settings = open(schema, key, "b");
    if (!settings)
        return std::nullopt;
    return g_settings_get_boolean(settings.get(), key) != FALSE;
}

bool desktop_settings::writeBool(const char* schema, const char* key, bool value)
{
    const SettingsRef settings = open(schema, key, "b");
    if (!settings || !g_settings_set_boolean(settings.get(), key, value))
        return false;
    g_settings_sync(); // written before the caller goes on (or the process ends)
    return true;
}

std::optional<int> desktop_settings::readInt(const char* schema, const char* key)
{
    const SettingsRef settings = open(schema, key, "i");
    if (!settings)
        return std::nullopt;
    return g_settings_get_int(settings.get(), key);
}

std::optional<QStringList> desktop_settings::readStrings(const char* schema, const char* key)
{
    const SettingsRef settings = open(schema, key, "as");
    if (!settings)
        return std::nullopt;
    gchar** values = g_settings_get_strv(settings.get(), key);
    QStringList list;
    for (gchar** value = values; value && *value; ++value)
        list << QString::fromUtf8(*value);
    g_strfreev(values);
    return list;
}

std::optional<QList<QPair<QString, QString>>> desktop_settings::readPairs(const char* schema, const char* key)
{
    const SettingsRef settings = open(schema, key, "a(ss)");
    if (!settings)
        return std::nullopt;
    const VariantRef value(g_settings_get_value(settings.get(), key));
    QList<QPair<QString, QString>> pairs;
    GVariantIter iter;
    g_variant_iter_init(&iter, value.get());
    const gchar* first = nullptr;
    const gchar* second = nullptr;
    while (g_variant_iter_next(&iter, "(&s&s)", &first, &second))
        pairs.append({ QString::fromUtf8(first), QString::fromUtf8(second) });
    return pairs;
}
