// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace kivo {

// One entry of the kernel's power-supply class.
struct PowerSource {
    QString name;
    QString type;   // "Mains", "USB", "Battery", ...
    QString scope;  // "Device" for a peripheral's own battery (a mouse); usually empty
    QString status; // a battery's "Charging", "Discharging", "Full", ...
    std::optional<bool> online;
};

// `$KIVO_SYSFS` when set, else "/sys": relocatable so tests bring their own tree.
QString sysfsRoot();
// Every supply under <sysfsRoot>/class/power_supply; empty when none can be read.
QList<PowerSource> powerSources(const QString& sysfsRoot);
// On mains when a mains or USB supply is online or a system battery is not
// discharging; also when nothing tells (no supply at all, or only peripherals').
bool isOnMainsPower(const QList<PowerSource>& sources);

} // namespace kivo
