#pragma once

// The web engine's renderer sandbox: off for root, which it refuses to run as, and on
// for everyone else whatever the environment says. Called from main before the
// application object exists.
void configureWebEngineSandbox();
