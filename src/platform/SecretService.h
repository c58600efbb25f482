// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

namespace kivo::secrets {

// The schema Secret Service tools give network passwords.
inline constexpr char kNetworkPasswordSchema[] = "org.gnome.keyring.NetworkPassword";

// One stored secret as the keychain export carries it. `attributes` are the
// item's lookup attributes verbatim, its schema ("xdg:schema") among them.
struct Item {
    QMap<QString, QString> attributes;
    QString label;
    QByteArray secret;
    QString contentType;
    QString schema;
    bool operator==(const Item&) const = default;
};

// The keychain service cannot be used: none is running, there is no default
// collection, or it is locked. The text says which.
class Unavailable : public ServiceUnavailable {
public:
    using ServiceUnavailable::ServiceUnavailable;
};

enum class Stored { created, updated };

// One text per attribute set: two items with the same one are the same item.
// The service gives an item without a schema the generic one.
QString attributeKey(QMap<QString, QString> attributes);

// The user's keychain through the Secret Service on the session bus. Calls
// block on D-Bus: run them off the main thread. The bus is the one named by
// DBUS_SESSION_BUS_ADDRESS when first used in this process.
class Keychain {
public:
    // Throws Unavailable when there is no service.
    Keychain();
    ~Keychain();
    Keychain(const Keychain&) = delete;
    Keychain& operator=(const Keychain&) = delete;

    // Every item of every unlocked collection except the in-memory "session"
    // one; locked collections are passed over. Secrets only when asked.
    QList<Item> items(bool withSecrets);
    // The items of the default collection, where `store` writes. Throws
    // Unavailable when it cannot be read.
    QList<Item> defaultItems(bool withSecrets);
    // Why the default collection cannot take items, or empty when it can.
    QString defaultCollectionProblem();
    // Into the default collection: an item there with the same attribute set is
    // the same item and gets the label and secret; otherwise a new one.
    Stored store(const Item& item);
    // Deletes the default collection's item with that attribute set; false when
    // there is none (already gone is no error).
    bool remove(const QMap<QString, QString>& attributes);

private:
    // The default collection's items by attribute set, read once; throws Unavailable.
    void loadDefault();

    struct State;
    State* m_state;
};

} // namespace kivo::secrets
