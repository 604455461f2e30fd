#pragma once

// Dispatches the window messages waiting for this thread, untranslated.
// The request loop pumps between requests and a scan around the plug-in's
// calls, so that the badge and the plug-ins' own windows stay served; it
// stands apart from both so that the scan needs nothing of the loop above it.
void PumpWindowMessages();
