// Back-end hooks of the logger, written once per platform.
#pragma once

// Hands one finished line to the platform's debugger output (OutputDebugStringA on Windows).
void vtr_debugger_output(const char *text);
