// SPDX-License-Identifier: Apache-2.0
// Differential fuzzing of the manifest decoder: it reads the items one at a time
// without a whole-document parse, and must accept exactly what a whole-document
// parse accepts, yielding the same manifest.
#include "platform/Error.h"
#include "platform/Json.h"
#include "transfer/TransferManifest.h"

#include <cstddef>
#include <cstdint>
#include <optional>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    std::optional<kivo::TransferManifest> streamed, whole;
    try {
        streamed = kivo::TransferManifest::decode(text);
    } catch (const kivo::Error&) {
    }
    try {
        whole = kivo::TransferManifest::fromJson(kivo::json::parseObject(text));
    } catch (const kivo::Error&) {
    }
    if (streamed != whole)
        __builtin_trap();
    return 0;
}
