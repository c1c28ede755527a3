#pragma once
// Bounds that keep hostile or broken input from costing unbounded time or memory.
#include <cstddef>

#include "store/PstStoreSession.h"

namespace mime {

inline constexpr size_t kMaxHeaderBytes = 1 << 20;           // one header field's raw value we read
inline constexpr size_t kMaxTextProp = 64 * 1024;            // a one-line property (subject, To list)
inline constexpr size_t kMaxTransportHeaders = 2 << 20;      // the stored header block
inline constexpr size_t kMaxBodyBytes = 32u << 20;           // larger text parts become attachments
inline constexpr size_t kMaxAddressHeaderBytes = 8u << 20;   // one address header's raw value we read
inline constexpr size_t kMaxRecipients = 200000;             // addresses per header kind
inline constexpr size_t kMaxMimeParts = store::kMaxAttachments;  // in the file, at every level
inline constexpr int kMaxMimeDepth = 150;                    // multipart nesting walked into
inline constexpr int kMaxEmbedDepth = 12;                    // attached messages imported as messages
inline constexpr size_t kImportStackBytes = size_t(256) << 20;  // parser recursion on deep nesting

}  // namespace mime
