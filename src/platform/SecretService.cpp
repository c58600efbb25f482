#include "platform/SecretService.h"

#include <QHash>
#include <QStringList>

// GLib's headers use "signals" as a field name, which Qt defines away.
#undef signals
#include <gio/gio.h>

// Plain D-Bus calls rather than one proxy object per item: a proxy costs a
// round trip and a match rule on the bus for every item, which a keychain of
// thousands of items cannot afford.
namespace kivo::secrets {

namespace {

constexpr char kBusName[] = "org.freedesktop.secrets";
constexpr char kServicePath[] = "/org/freedesktop/secrets";
constexpr char kServiceInterface[] = "org.freedesktop.Secret.Service";
constexpr char kCollectionInterface[] = "org.freedesktop.Secret.Collection";
constexpr char kItemInterface[] = "org.freedesktop.Secret.Item";
constexpr char kProperties[] = "org.freedesktop.DBus.Properties";
constexpr int kCallTimeoutMs = 25000;

QString takeError(GError* error, const QString& context)
{
    QString text = context;
    if (error) {
        text += QStringLiteral(": ") + QString::fromUtf8(error->message);
        g_error_free(error);
    }
    return text;
}

// Owns a GVariant reference.
struct Variant {
    GVariant* v = nullptr;
    Variant() = default;
    explicit Variant(GVariant* value) : v(value) {}
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    Variant(Variant&& o) noexcept : v(std::exchange(o.v, nullptr)) {}
    ~Variant()
    {
        if (v)
            g_variant_unref(v);
    }
    explicit operator bool() const { return v != nullptr; }
};

QMap<QString, QString> attributesFrom(GVariant* dict)
{
    QMap<QString, QString> out;
    GVariantIter it;
    const gchar* key = nullptr;
    const gchar* value = nullptr;
    g_variant_iter_init(&it, dict);
    while (g_variant_iter_next(&it, "{&s&s}", &key, &value))
        out.insert(QString::fromUtf8(key), QString::fromUtf8(value));
    return out;
}

GVariant* attributesVariant(const QMap<QString, QString>& attributes)
{
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{ss}"));
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
        g_variant_builder_add(&b, "{ss}", it.key().toUtf8().constData(), it.value().toUtf8().constData());
    return g_variant_builder_end(&b);
}

QStringList pathsFrom(GVariant* array)
{
    QStringList out;
    GVariantIter it;
    const gchar* path = nullptr;
    g_variant_iter_init(&it, array);
    while (g_variant_iter_next(&it, "&o", &path))
        out.append(QString::fromUtf8(path));
    return out;
}

// One text per attribute set, for finding the item that has exactly that set.
// The service gives an item without a schema the generic one.
QString keyOf(QMap<QString, QString> attributes)
{
    if (!attributes.contains(QStringLiteral("xdg:schema")))
        attributes.insert(QStringLiteral("xdg:schema"), QStringLiteral("org.freedesktop.Secret.Generic"));
    QString key;
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
        key += it.key() + QChar(0) + it.value() + QChar(1);
    return key;
}

} // namespace

struct Keychain::State {
    GDBusConnection* bus = nullptr;
    QByteArray session;
    QString defaultCollection;
    bool defaultLoaded = false;
    // The default collection's items by attribute set, read once.
    QHash<QString, QString> byAttributes;

    ~State()
    {
        if (bus && !session.isEmpty())
            g_dbus_connection_call_sync(bus, kBusName, session.constData(), "org.freedesktop.Secret.Session", "Close",
                                        nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr);
        if (bus)
            g_object_unref(bus);
    }

    // Throws with `context` when the call fails.
    Variant call(const QString& path, const char* interface, const char* method, GVariant* parameters,
                 const char* replyType, const QString& context)
    {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(bus, kBusName, path.toUtf8().constData(), interface, method,
                                                      parameters, replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
        if (!reply)
            throw Unavailable(takeError(error, context));
        return Variant(reply);
    }

    Variant property(const QString& path, const char* interface, const char* name)
    {
        Variant reply = call(path, kProperties, "Get", g_variant_new("(ss)", interface, name), "(v)",
                             QStringLiteral("Cannot read the keychain"));
        GVariant* inner = nullptr;
        g_variant_get(reply.v, "(v)", &inner);
        return Variant(inner);
    }

    QStringList itemsOf(const QString& collection)
    {
        Variant items = property(collection, kCollectionInterface, "Items");
        return pathsFrom(items.v);
    }

    // Label, attributes and whether it is locked, in one call.
    Item describe(const QString& path, bool* locked)
    {
        Variant reply = call(path, kProperties, "GetAll", g_variant_new("(s)", kItemInterface), "(a{sv})",
                             QStringLiteral("Cannot read a keychain item"));
        Variant all(g_variant_get_child_value(reply.v, 0));
        Item item;
        *locked = false;
        GVariantIter it;
        const gchar* name = nullptr;
        GVariant* value = nullptr;
        g_variant_iter_init(&it, all.v);
        while (g_variant_iter_next(&it, "{&sv}", &name, &value)) {
            const QByteArray key(name);
            if (key == "Label" && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
                item.label = QString::fromUtf8(g_variant_get_string(value, nullptr));
            else if (key == "Attributes" && g_variant_is_of_type(value, G_VARIANT_TYPE("a{ss}")))
                item.attributes = attributesFrom(value);
            else if (key == "Locked" && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
                *locked = g_variant_get_boolean(value);
            g_variant_unref(value);
        }
        item.schema = item.attributes.value(QStringLiteral("xdg:schema"));
        return item;
    }

    GVariant* secretVariant(const QByteArray& secret, const QByteArray& contentType)
    {
        GVariant* value = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, secret.constData(), gsize(secret.size()), 1);
        GVariant* parameters = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, nullptr, 0, 1);
        return g_variant_new("(o@ay@ays)", session.constData(), parameters, value, contentType.constData());
    }
};

Keychain::Keychain() : m_state(new State)
{
    GError* error = nullptr;
    m_state->bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    try {
        if (!m_state->bus)
            throw Unavailable(takeError(error, QStringLiteral("No Secret Service is available (no session bus)")));
        // Secrets cross only this user's private bus, so the plain session serves.
        Variant reply = m_state->call(QString::fromLatin1(kServicePath), kServiceInterface, "OpenSession",
                                      g_variant_new("(sv)", "plain", g_variant_new_string("")), "(vo)",
                                      QStringLiteral("No Secret Service is available"));
        const gchar* path = nullptr;
        GVariant* output = nullptr;
        g_variant_get(reply.v, "(v&o)", &output, &path);
        m_state->session = QByteArray(path);
        g_variant_unref(output);
    } catch (...) {
        delete m_state;
        throw;
    }
}

Keychain::~Keychain() { delete m_state; }

QList<Item> Keychain::items(bool withSecrets)
{
    QList<Item> out;
    Variant collections = m_state->property(QString::fromLatin1(kServicePath), kServiceInterface, "Collections");
    for (const QString& collection : pathsFrom(collections.v)) {
        if (collection.endsWith(QLatin1String("/session")))
            continue;
        Variant locked = m_state->property(collection, kCollectionInterface, "Locked");
        if (g_variant_get_boolean(locked.v))
            continue;
        const QStringList paths = m_state->itemsOf(collection);
        QHash<QString, std::pair<QByteArray, QString>> secrets;
        if (withSecrets && !paths.isEmpty()) {
            // Every secret of the collection in one call.
            GVariantBuilder b;
            g_variant_builder_init(&b, G_VARIANT_TYPE("ao"));
            for (const QString& p : paths)
                g_variant_builder_add(&b, "o", p.toUtf8().constData());
            Variant reply = m_state->call(QString::fromLatin1(kServicePath), kServiceInterface, "GetSecrets",
                                          g_variant_new("(ao@o)", &b, g_variant_new_object_path(m_state->session.constData())),
                                          "(a{o(oayays)})", QStringLiteral("Cannot read the keychain's secrets"));
            Variant map(g_variant_get_child_value(reply.v, 0));
            GVariantIter it;
            const gchar* itemPath = nullptr;
            GVariant* secret = nullptr;
            g_variant_iter_init(&it, map.v);
            while (g_variant_iter_next(&it, "{&o@(oayays)}", &itemPath, &secret)) {
                Variant value(g_variant_get_child_value(secret, 2));
                const gchar* contentType = nullptr;
                g_variant_get_child(secret, 3, "&s", &contentType);
                gsize length = 0;
                const void* bytes = g_variant_get_fixed_array(value.v, &length, 1);
                secrets.insert(QString::fromUtf8(itemPath),
                               {QByteArray(static_cast<const char*>(bytes), qsizetype(length)), QString::fromUtf8(contentType)});
                g_variant_unref(secret);
            }
        }
        for (const QString& path : paths) {
            bool isLocked = false;
            Item item = m_state->describe(path, &isLocked);
            if (isLocked)
                continue;
            if (withSecrets) {
                const auto secret = secrets.constFind(path);
                if (secret == secrets.cend())
                    continue;
                item.secret = secret->first;
                item.contentType = secret->second;
            }
            out.append(std::move(item));
        }
    }
    return out;
}

QString Keychain::defaultCollectionProblem()
{
    if (m_state->defaultCollection.isEmpty()) {
        try {
            Variant reply = m_state->call(QString::fromLatin1(kServicePath), kServiceInterface, "ReadAlias",
                                          g_variant_new("(s)", "default"), "(o)",
                                          QStringLiteral("The keychain has no default collection"));
            const gchar* path = nullptr;
            g_variant_get(reply.v, "(&o)", &path);
            if (QByteArray(path) == "/")
                return QStringLiteral("The keychain has no default collection");
            m_state->defaultCollection = QString::fromUtf8(path);
        } catch (const Unavailable& e) {
            return e.description();
        }
    }
    Variant locked = m_state->property(m_state->defaultCollection, kCollectionInterface, "Locked");
    if (g_variant_get_boolean(locked.v)) {
        Variant label = m_state->property(m_state->defaultCollection, kCollectionInterface, "Label");
        return QStringLiteral("The keychain's default collection \"%1\" is locked")
            .arg(QString::fromUtf8(g_variant_get_string(label.v, nullptr)));
    }
    return {};
}

Stored Keychain::store(const Item& item)
{
    if (const QString problem = defaultCollectionProblem(); !problem.isEmpty())
        throw Unavailable(problem);
    if (!m_state->defaultLoaded) {
        for (const QString& path : m_state->itemsOf(m_state->defaultCollection)) {
            bool locked = false;
            const QString key = keyOf(m_state->describe(path, &locked).attributes);
            if (!m_state->byAttributes.contains(key))
                m_state->byAttributes.insert(key, path);
        }
        m_state->defaultLoaded = true;
    }
    const QByteArray label = item.label.toUtf8();
    const QByteArray contentType = item.contentType.isEmpty() ? QByteArray("text/plain") : item.contentType.toUtf8();
    const QString key = keyOf(item.attributes);
    if (const QString existing = m_state->byAttributes.value(key); !existing.isEmpty()) {
        m_state->call(existing, kItemInterface, "SetSecret", g_variant_new("(@(oayays))", m_state->secretVariant(item.secret, contentType)),
                      nullptr, QStringLiteral("Cannot update \"%1\"").arg(item.label));
        m_state->call(existing, kProperties, "Set",
                      g_variant_new("(ssv)", kItemInterface, "Label", g_variant_new_string(label.constData())), nullptr,
                      QStringLiteral("Cannot update \"%1\"").arg(item.label));
        return Stored::updated;
    }
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Label", g_variant_new_string(label.constData()));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Attributes", attributesVariant(item.attributes));
    Variant reply = m_state->call(m_state->defaultCollection, kCollectionInterface, "CreateItem",
                                  g_variant_new("(a{sv}@(oayays)b)", &properties,
                                                m_state->secretVariant(item.secret, contentType), FALSE),
                                  "(oo)", QStringLiteral("Cannot store \"%1\"").arg(item.label));
    const gchar* created = nullptr;
    const gchar* prompt = nullptr;
    g_variant_get(reply.v, "(&o&o)", &created, &prompt);
    if (QByteArray(created) == "/")
        throw SystemError(QStringLiteral("Cannot store \"%1\": the keychain asks for confirmation").arg(item.label));
    m_state->byAttributes.insert(key, QString::fromUtf8(created));
    return Stored::created;
}

} // namespace kivo::secrets
