// The dispatch contract on the threaded backend.
#define CONTRACT_SUITE ThreadedContract
#include "Contract.inc"
