// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/MessageHeader.h"

#include <QByteArray>
#include <QList>
#include <optional>

namespace kivo {

// The manifest, a checkpoint and the verification hashes usually fit in a
// message header; when one would outgrow the header's limit it rides as the
// payload instead. The receiver takes whichever of the two it finds.

// A header field holding an encoded document.
using DocumentField = std::optional<QByteArray> MessageHeader::*;

// Puts `document` into `field` when it fits; otherwise returns it as the payload
// (with payloadSize set) and leaves the field empty.
std::optional<QByteArray> placeDocument(MessageHeader& header, DocumentField field, QByteArray document);
// The document from `field`, else the payload; nullopt when neither is there.
std::optional<QByteArray> documentOf(const Message& message, DocumentField field);

// The same for a verificationResponse: the list in fileHashes, or as a JSON array payload.
std::optional<QByteArray> placeHashes(MessageHeader& header, QList<FileVerification> hashes);
// Nullopt when neither the header nor a well-formed payload holds them.
std::optional<QList<FileVerification>> hashesOf(const Message& message);

} // namespace kivo
