#pragma once
// The tray program's resources: its two dialogs, its strings in English, Japanese and Korean and
// the skin archive drawn at build time.
#include "Varlo/ui/UiResources.h"

HINSTANCE TrayInstance();
