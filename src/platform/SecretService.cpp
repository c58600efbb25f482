// SPDX-License-Identifier: Apache-2.0
#include "platform/SecretService.h"

#include <QHash>
#include <QStringList>

// libsecret's headers use "signals" as a field name, which Qt defines away.
#undef signals
#include <libsecret/secret.h>

namespace kivo::secrets {

namespace {

QString takeError(GError* error, const QString& context)
{
    QString text = context;
    if (error) {
        text += QStringLiteral(": ") + QString::fromUtf8(error->message);
        g_error_free(error);
    }
    return text;
}

QString takeString(gchar* s)
{
    QString out = s ? QString::fromUtf8(s) : QString();
    g_free(s);
    return out;
}

QMap<QString, QString> attributesOf(SecretItem* item)
{
    QMap<QString, QString> out;
    GHashTable* table = secret_item_get_attributes(item);
    if (!table)
        return out;
    GHashTableIter it;
    gpointer key, value;
    g_hash_table_iter_init(&it, table);
    while (g_hash_table_iter_next(&it, &key, &value))
        out.insert(QString::fromUtf8(static_cast<const char*>(key)), QString::fromUtf8(static_cast<const char*>(value)));
    g_hash_table_unref(table);
    return out;
}

GHashTable* tableOf(const QMap<QString, QString>& attributes)
{
    GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
        g_hash_table_insert(table, g_strdup(it.key().toUtf8().constData()), g_strdup(it.value().toUtf8().constData()));
    return table;
}

bool isSessionCollection(SecretCollection* collection)
{
    const char* path = g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection));
    return path && QByteArray(path).endsWith("/session");
}

// Appends the unlocked items of a collection whose items are loaded.
void appendItems(SecretCollection* collection, bool withSecrets, QList<Item>* out)
{
    GError* error = nullptr;
    GList* items = secret_collection_get_items(collection);
    // All secrets of the collection in one request.
    if (withSecrets && items && !secret_item_load_secrets_sync(items, nullptr, &error)) {
        g_list_free_full(items, g_object_unref);
        throw Unavailable(takeError(error, QStringLiteral("Cannot read the keychain's secrets")));
    }
    for (GList* i = items; i; i = i->next) {
        auto* secretItem = static_cast<SecretItem*>(i->data);
        if (secret_item_get_locked(secretItem))
            continue;
        Item item;
        item.attributes = attributesOf(secretItem);
        item.label = takeString(secret_item_get_label(secretItem));
        item.schema = takeString(secret_item_get_schema_name(secretItem));
        if (withSecrets) {
            SecretValue* value = secret_item_get_secret(secretItem);
            if (!value)
                continue;
            gsize length = 0;
            const gchar* bytes = secret_value_get(value, &length);
            item.secret = QByteArray(bytes, qsizetype(length));
            item.contentType = QString::fromUtf8(secret_value_get_content_type(value));
            secret_value_unref(value);
        }
        out->append(std::move(item));
    }
    g_list_free_full(items, g_object_unref);
}

} // namespace

QString attributeKey(QMap<QString, QString> attributes)
{
    if (!attributes.contains(QStringLiteral("xdg:schema")))
        attributes.insert(QStringLiteral("xdg:schema"), QStringLiteral("org.freedesktop.Secret.Generic"));
    QString key;
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
        key += it.key() + QChar(0) + it.value() + QChar(1);
    return key;
}

struct Keychain::State {
    SecretService* service = nullptr;
    SecretCollection* defaultCollection = nullptr;
    bool defaultLoaded = false;
    // The default collection's items by attribute set, read once.
    QHash<QString, SecretItem*> byAttributes;

    ~State()
    {
        for (SecretItem* item : std::as_const(byAttributes))
            g_object_unref(item);
        if (defaultCollection)
            g_object_unref(defaultCollection);
        if (service)
            g_object_unref(service);
    }
};

Keychain::Keychain() : m_state(new State)
{
    GError* error = nullptr;
    // A service object of its own, not the process-wide one: that one's lists of collections and items
    // follow the service's signals only while a GLib loop runs, which no thread of ours does.
    m_state->service = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr,
                                                SecretServiceFlags(SECRET_SERVICE_OPEN_SESSION | SECRET_SERVICE_LOAD_COLLECTIONS),
                                                nullptr, &error);
    if (!m_state->service) {
        delete m_state;
        throw Unavailable(takeError(error, QStringLiteral("No Secret Service is available")));
    }
}

Keychain::~Keychain() { delete m_state; }

QList<Item> Keychain::items(bool withSecrets)
{
    QList<Item> out;
    GList* collections = secret_service_get_collections(m_state->service);
    for (GList* c = collections; c; c = c->next) {
        auto* collection = static_cast<SecretCollection*>(c->data);
        if (secret_collection_get_locked(collection) || isSessionCollection(collection))
            continue;
        GError* error = nullptr;
        if (!secret_collection_load_items_sync(collection, nullptr, &error)) {
            g_clear_error(&error);
            continue;
        }
        try {
            appendItems(collection, withSecrets, &out);
        } catch (...) {
            g_list_free_full(collections, g_object_unref);
            throw;
        }
    }
    g_list_free_full(collections, g_object_unref);
    return out;
}

void Keychain::loadDefault()
{
    if (const QString problem = defaultCollectionProblem(); !problem.isEmpty())
        throw Unavailable(problem);
    if (m_state->defaultLoaded)
        return;
    GError* error = nullptr;
    if (!secret_collection_load_items_sync(m_state->defaultCollection, nullptr, &error))
        throw Unavailable(takeError(error, QStringLiteral("Cannot list the keychain's items")));
    GList* items = secret_collection_get_items(m_state->defaultCollection);
    for (GList* i = items; i; i = i->next) {
        auto* existing = static_cast<SecretItem*>(i->data);
        const QString key = attributeKey(attributesOf(existing));
        if (!m_state->byAttributes.contains(key))
            m_state->byAttributes.insert(key, static_cast<SecretItem*>(g_object_ref(existing)));
    }
    g_list_free_full(items, g_object_unref);
    m_state->defaultLoaded = true;
}

QList<Item> Keychain::defaultItems(bool withSecrets)
{
    loadDefault();
    QList<Item> out;
    appendItems(m_state->defaultCollection, withSecrets, &out);
    return out;
}

QString Keychain::defaultCollectionProblem()
{
    if (!m_state->defaultCollection) {
        GError* error = nullptr;
        m_state->defaultCollection = secret_collection_for_alias_sync(
            m_state->service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
        if (!m_state->defaultCollection)
            return takeError(error, QStringLiteral("The keyring has no default collection"));
    }
    if (secret_collection_get_locked(m_state->defaultCollection))
        return QStringLiteral("The keyring's default collection \"%1\" is locked")
            .arg(takeString(secret_collection_get_label(m_state->defaultCollection)));
    return {};
}

Stored Keychain::store(const Item& item)
{
    loadDefault();
    GError* error = nullptr;
    const QByteArray label = item.label.toUtf8();
    const QByteArray contentType = item.contentType.isEmpty() ? QByteArray("text/plain") : item.contentType.toUtf8();
    SecretValue* value = secret_value_new(item.secret.constData(), item.secret.size(), contentType.constData());
    const QString key = attributeKey(item.attributes);
    if (SecretItem* existing = m_state->byAttributes.value(key)) {
        const bool ok = secret_item_set_label_sync(existing, label.constData(), nullptr, &error)
            && secret_item_set_secret_sync(existing, value, nullptr, &error);
        secret_value_unref(value);
        if (!ok)
            throw SystemError(takeError(error, QStringLiteral("Cannot update \"%1\"").arg(item.label)));
        return Stored::updated;
    }
    GHashTable* attributes = tableOf(item.attributes);
    SecretItem* created = secret_item_create_sync(m_state->defaultCollection, nullptr, attributes, label.constData(),
                                                  value, SECRET_ITEM_CREATE_NONE, nullptr, &error);
    g_hash_table_unref(attributes);
    secret_value_unref(value);
    if (!created)
        throw SystemError(takeError(error, QStringLiteral("Cannot store \"%1\"").arg(item.label)));
    m_state->byAttributes.insert(key, created);
    return Stored::created;
}

bool Keychain::remove(const QMap<QString, QString>& attributes)
{
    loadDefault();
    SecretItem* existing = m_state->byAttributes.take(attributeKey(attributes));
    if (!existing)
        return false;
    GError* error = nullptr;
    const bool ok = secret_item_delete_sync(existing, nullptr, &error);
    const QString label = takeString(secret_item_get_label(existing));
    g_object_unref(existing);
    if (!ok)
        throw SystemError(takeError(error, QStringLiteral("Cannot delete \"%1\"").arg(label)));
    return true;
}

} // namespace kivo::secrets
