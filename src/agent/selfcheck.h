// Start-up proof that the cipher path works on this machine, printed on the console.
#pragma once

// Runs the Twofish self-test, a one-block round trip and a packet-cipher round trip. Ends the
// process with exit code 3 on any failure.
void RunSelfChecks(int verbosedetail);
