#pragma once

// The web engine's renderer sandbox refuses to run as root; called from main before
// the application object exists.
void disableWebEngineSandboxForRoot();
