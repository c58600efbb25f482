// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <optional>

namespace kivo {
class AppState;
}

namespace kivo::gui {

// The manifest screen's note when the selection is larger than the
// organisation's profile allows: "Exceeds <limit> limit", else empty.
class SelectionLimit : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString note READ note NOTIFY changed)
public:
    SelectionLimit(AppState* state, QObject* parent = nullptr);

    QString note() const;
    static QString noteFor(std::uint64_t selectedBytes, std::optional<int> limitMB);

Q_SIGNALS:
    void changed();

private:
    QPointer<AppState> m_state;
};

} // namespace kivo::gui
