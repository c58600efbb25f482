// SPDX-License-Identifier: Apache-2.0
#include "platform/ProcessSetup.h"

#include <QByteArray>

#include <malloc.h>

namespace kivo {

void prepareProcess()
{
    // Chunk buffers are 1 MiB: keep them in the heap instead of mapping fresh
    // (page-faulting) memory for every chunk; mapped, a 1 GiB file took three
    // times as long. Anything much larger is one of the lists that grow with
    // the file count: mapped, it is resized in place and handed back to the
    // system when freed, where the heap would keep both its old and new copies resident.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    // One heap for every thread: the hashing and writing threads free buffers
    // other threads allocated, and an arena per thread kept its own free pages
    // resident (8 to 16 MB of a 20,000-file transfer's peak, on either side).
    mallopt(M_ARENA_MAX, 1);
    // Qt's plain event dispatcher wakes itself once per loop turn; the GLib one
    // rewrites its poll set and signals an eventfd for every socket notifier
    // change, several times per message. Nothing here needs a GLib main loop.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", QByteArrayLiteral("1"));
}

} // namespace kivo
