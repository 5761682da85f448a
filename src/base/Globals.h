#pragma once

// Process-wide debug switch: false unless a host sets it. Enables extra
// consistency checks in the model.
extern bool g_bDebugMode;
