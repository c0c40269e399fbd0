// For tests that link the channel code into the test itself: the stand-in for
// the module's one request handler, created on first use.
#pragma once

// Destroys the current request handler (writing its last log line); the next
// use creates a fresh one.
void ResetInProcessChannel();
