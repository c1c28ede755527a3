#pragma once
// A leaf part's decoded content as the pull source of an attachment's data.
// Its bytes are taken from the message file in large reads: base64 is decoded
// here, 7bit, 8bit and binary pass unchanged, quoted-printable and uuencode go
// through GMime's filters.
#include "store/PstStoreSession.h"

typedef struct _GMimePart GMimePart;

namespace mime {

// Empty when the part has no content. A failed read throws, so that an
// attachment is never silently cut short. Asks for at least 3 bytes a call.
store::DataSource DecodedContent(GMimePart* part);

}  // namespace mime
