#pragma once
// Everything of the file layer in one include.
#include "files/FileApi.h"
#include "files/MailboxFileQueue.h"
#include "files/PathLogger.h"
#include "files/Paths.h"
#include "files/PlatformProbe.h"
#include "files/UnicodeReader.h"
#include "files/Utf.h"
