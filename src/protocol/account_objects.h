#pragma once

// Makes the account statements of the rc file create the real protocol and connection objects.
// The driver calls this before the rc file is read.
void installAccountObjects();
