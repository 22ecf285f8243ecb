// The start-up settings the console context carries for the tasks and the
// dialogs (system type, steno switch, test answer switch, caption screen
// settings, selected server), copied in one place so that every field stays
// inside its bounds.
#pragma once

#include "settingsstore.h"

// Copies systemType, useStenoSoftware, autoAnswerForTest, the four caption
// screen settings, serverIndex and serverHost (cut to its field) into the
// console context.
void storeStartupSettingsInContext(const settings::StartupSettings& s);
