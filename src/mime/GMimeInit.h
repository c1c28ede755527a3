#pragma once
// GMime's one-time set-up. g_mime_init keeps a plain counter, so two threads
// calling it at once corrupt its tables: every user of GMime in the process
// goes through this one guard.
namespace mime {

void EnsureGMime();

}  // namespace mime
