// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kivo {

// Where the machine's serial number is read from, in order.
struct SerialSources {
    QString productSerial = QStringLiteral("/sys/class/dmi/id/product_serial");
    QString machineID = QStringLiteral("/etc/machine-id");
};

// The board's serial when it is a real one (makers' placeholders are not),
// else the installation's machine id, else "Unknown".
QString machineSerialNumber(const SerialSources& sources = {});

// True for the texts makers leave in the serial field instead of a serial.
bool isPlaceholderSerial(const QString& text);

} // namespace kivo
