#include "shell/sandbox.h"

// The Windows renderer sandbox works with administrator rights.
void configureWebEngineSandbox()
{
}
